// The walk that lists the photos a FAT12, FAT16 or FAT32 volume still has in
// its directories.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "filesystem/fatdir.h"
#include "filesystem/fatmount.h"
#include "volphotorev/contentsniff.h"
#include "volphotorev/operation.h"
#include "volphotorev/photoitems.h"

class IPartition;
struct PhotoFormat;

// Walks the directory tree breadth first from the root (on FAT12/16 the
// fixed region after the FATs, on FAT32 a cluster chain) and stores a
// PhotoItem for every regular file whose name (its long name when it has
// one) ends in a photo extension, with the sectors that hold it, its folder
// and its time. Deleted entries are looked at too, in live folders and in
// deleted folders whose first cluster is free and still holds the folder's
// "." and ".." entries: a deleted photo is taken from its first cluster on
// through free clusters only, up to its size, and is stored (origin
// DeletedRecord) only when its data begins with the photo's signature and
// its structure agrees with its size; otherwise it is left to the raw scan.
// When the store looks inside files, a live file of a sector or more whose
// name names no photo is listed too when its first sector begins like a
// photo. Progress is counted in sectors of live files.
class CFatSearchPhoto : public IOperation {
public:
    // None of the three is owned; all must outlive the operation.
    CFatSearchPhoto(IPartition* partition, FatVolume* volume, IPhotoItmesMgr* store);

    // Frame of every operation around TraverseFileRecord: 0, or negative
    // when the walk failed or the sink asked to stop.
    int Do(IEventSink* sink) override;

    // The walk: 0, or -1 when a live directory could not be read or the sink
    // stopped it.
    int TraverseFileRecord();
    // Appends the entries of the live directory starting at `firstCluster`,
    // deleted ones included, up to the first unused entry, to `entries`.
    // 0, also for a directory taken as empty (first cluster out of range or
    // already visited); -1 when a cluster cannot be read or the chain breaks.
    int GetSubFileItemsOfDir(uint32_t firstCluster, std::vector<FatDirEntry>& entries);
    // Appends the entries of a deleted directory: its first cluster, which
    // must be free, not yet visited and begin with "." (itself) and ".."
    // (`parentCluster`, or 0 for the root), then the next free clusters as
    // long as the directory has not ended and they hold only well-formed
    // entries. 0 when entries were found, -1 when the clusters no longer
    // hold that directory (nothing is appended then).
    int GetDeletedDirItems(uint32_t firstCluster, uint32_t parentCluster, std::vector<FatDirEntry>& entries);
    // Appends the entries of FAT12/16's fixed root folder, deleted ones
    // included, up to the first unused entry or the boot record's count of
    // root entries. 0, or -1 when its sectors cannot be read.
    int GetRootDirItems(std::vector<FatDirEntry>& entries);
    // Reads one cluster into `buffer` (sectors per cluster * 512 bytes): 0 or -1.
    int ReadClustersFromSrc(uint32_t cluster, uint8_t* buffer);
    // Stores a live file as a photo when its name says so (or hands it to
    // the content sniffer when its name names no photo): 0 (also for files
    // skipped), or the sink's negative answer to the progress report.
    int DealWithFile(const FatDirItem& file, const std::u16string& folder);
    // Stores a deleted file when its name says it is a photo and its
    // clusters still hold it. Always 0.
    int DealWithDeletedFile(const FatDirItem& file, const std::u16string& folder);
    // The file's runs in clusters: fileSector = first cluster index within
    // the file, volumeSector = first cluster number, sectorCount = clusters;
    // the chain is followed for at most `clusterCount` clusters, and the list
    // ends with an entry of count 0. Empty when the chain is invalid.
    std::vector<PhotoRun> GetFileRunList(uint32_t firstCluster, uint32_t clusterCount);
    // The clusters a deleted file of `clusterCount` clusters had, as runs in
    // clusters like GetFileRunList: `firstCluster` and the next clusters
    // that are free and not taken by the walk. Empty when the first cluster
    // is in use, or there are not enough free clusters near enough.
    std::vector<PhotoRun> GetDeletedFileRunList(uint32_t firstCluster, uint32_t clusterCount);

    // The sectors (first, count) of every deleted photo the walk took as
    // whole, kept or not by the store (a type the user left out): the raw
    // scan is not to find them again. Moved out; call after Do.
    std::vector<std::pair<int64_t, int64_t>> TakeDeletedSectors() { return std::move(m_deletedSectors); }

    // The 8.3 name as text, in code page 437 ("README.TXT", "FOO"; "CAFÉ.JPG"
    // for the bytes CAF 0x90 JPG); empty when the base name is blank.
    static std::u16string ShortNameToString(const FatDirEntry& entry);

protected:
    ~CFatSearchPhoto() override = default;

private:
    struct PendingDir {
        uint32_t cluster = 0;
        uint32_t parentCluster = 0;  // the folder holding its entry; 0 for the root
        std::u16string path;         // folder path of its entries
        bool deleted = false;
        bool fixedRoot = false;      // FAT12/16's root folder region, not a cluster
    };

    // Marks a cluster as reached by the walk; false when it already was (a
    // loop, a cross-link, or a directory that links back) or on no memory.
    bool Claim(uint32_t cluster);
    bool Claimed(uint32_t cluster) const;
    bool EnsureClaimMap();
    // The entry's first cluster: on FAT12/16 only its low word counts.
    uint32_t FirstClusterOf(const FatDirItem& item) const;
    // Clusters to sectors in place; the end entry keeps count 0 and -3.
    void ToSectorRuns(std::vector<PhotoRun>& runs) const;
    // A live file whose name names no photo, waiting for its first sector
    // to be looked at.
    struct Unnamed {
        std::u16string name;
        std::u16string folder;
        uint32_t firstCluster = 0;
        uint32_t size = 0;
        int64_t mtime = 0;
    };
    // Keeps the file until its first sector is read (m_unnamed);
    // StoreSniffed stores it when it begins like a photo.
    void LookInside(Unnamed file);
    void StoreSniffed(const Unnamed& file, const PhotoFormat& format);
    // Stores a live file as a photo of `category`: runs from its chain.
    void StoreLiveFile(const Unnamed& file, PhotoCategory category);

    IPartition* m_partition;
    FatVolume* m_volume;
    IEventSink* m_sink = nullptr;
    IPhotoItmesMgr* m_store;
    // One flag per cluster number, set for every directory or file cluster
    // the walk has followed or given to a deleted photo: no cluster is ever
    // read or listed twice, so looping chains and directories that link back
    // end the walk.
    std::vector<bool> m_claimed;
    // Free clusters passed over while gathering deleted files' clusters; the
    // search stops when this exceeds a few times the volume's clusters.
    std::vector<std::pair<int64_t, int64_t>> m_deletedSectors;
    uint64_t m_skipBudget = 0;
    bool m_fixedRoot = false;  // FAT12/16
    bool m_budgetSpent = false;
    CSniffBatch<Unnamed> m_unnamed{[this](Unnamed& file, const PhotoFormat& format) { StoreSniffed(file, format); }};
};
