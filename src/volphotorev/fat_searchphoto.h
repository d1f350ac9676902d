// The walk that lists the photos a FAT32 volume still has in its directories.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "filesystem/fatmount.h"
#include "volphotorev/contentsniff.h"
#include "volphotorev/operation.h"
#include "volphotorev/photoitems.h"

class IPartition;

// One 32-byte directory entry as stored: name (8) and extension (3), attribute
// at 11, high word of the first cluster at 20, low word at 26, size at 28.
using FatDirEntry = std::array<uint8_t, 32>;

// Walks the directory tree breadth first from the root, and stores a
// PhotoItem for every live regular file whose short name ends in a photo
// extension, with the sectors that hold it. Deleted entries are left to the
// raw scan. Progress is counted in sectors. When the store looks inside
// files, a live file of a sector or more whose name names no photo is
// listed too when its first sector begins like a photo.
class CFatSearchPhoto : public IOperation {
public:
    // None of the three is owned; all must outlive the operation.
    CFatSearchPhoto(IPartition* partition, FatVolume* volume, IPhotoItmesMgr* store);

    // Frame of every operation around TraverseFileRecord: 0, or negative
    // when the walk failed or the sink asked to stop.
    int Do(IEventSink* sink) override;

    // The walk: 0, or -1 when a directory could not be read or the sink stopped it.
    int TraverseFileRecord();
    // Appends the live entries of the directory starting at `firstCluster`
    // (deleted ones skipped, up to the first unused entry) to `entries`.
    // 0, also for a directory taken as empty (first cluster out of range or
    // already visited); -1 when a cluster cannot be read or the chain breaks.
    int GetSubFileItemsOfDir(uint32_t firstCluster, std::vector<FatDirEntry>& entries);
    // Reads one cluster into `buffer` (sectors per cluster * 512 bytes): 0 or -1.
    int ReadClustersFromSrc(uint32_t cluster, uint8_t* buffer);
    // Stores the file as a photo when its name says so: 0 (also for files
    // skipped), or the sink's negative answer to the progress report.
    int DealWithFile(const std::string& name, const FatDirEntry& entry);
    // The file's runs in clusters: fileSector = first cluster index within
    // the file, volumeSector = first cluster number, sectorCount = clusters;
    // the chain is followed for at most `clusterCount` clusters, and the list
    // ends with an entry of count 0. Empty when the chain is invalid.
    std::vector<PhotoRun> GetFileRunList(uint32_t firstCluster, uint32_t clusterCount);

    // The 8.3 name as stored ("README.TXT", "FOO"); empty when the base name
    // is blank. No case change, no translation.
    static std::string ShortNameToString(const FatDirEntry& entry);

protected:
    ~CFatSearchPhoto() override = default;

private:
    // Marks a cluster as reached by the walk; false when it already was (a
    // loop, a cross-link, or a directory that links back) or on no memory.
    bool Claim(uint32_t cluster);
    bool Claimed(uint32_t cluster) const;
    bool EnsureClaimMap();
    // A live file whose name names no photo, waiting for its first sector
    // to be looked at.
    struct Unnamed {
        std::u16string name;
        std::u16string folder;
        uint32_t firstCluster = 0;
        uint32_t size = 0;
        int64_t mtime = 0;
    };
    void LookInside(Unnamed file);
    // Reads the first sectors of the files gathered so far and stores those
    // that are photos.
    void StoreUnnamedPhotos();
    // Stores a live file as a photo of `category`: runs from its chain.
    void StoreLiveFile(const Unnamed& file, PhotoCategory category);

    IPartition* m_partition;
    FatVolume* m_volume;
    IEventSink* m_sink = nullptr;
    IPhotoItmesMgr* m_store;
    // One flag per cluster number, set for every directory or file cluster
    // the walk has followed: no cluster is ever read or listed twice, so
    // looping chains and directories that link back end the walk.
    std::vector<bool> m_claimed;
    std::unique_ptr<CContentSniffer> m_sniffer;  // made for the first file looked inside
    std::vector<Unnamed> m_unnamed;               // the sniffer's tags index this
};
