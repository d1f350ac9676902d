// The walk that lists the photos an exFAT volume holds in its folders: live
// ones under their full names, and deleted ones whose entry sets survive and
// whose clusters are still free and still begin with the photo.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "filesystem/exfat/exfat_dirent.h"
#include "filesystem/exfat/exfat_mount.h"
#include "volphotorev/contentsniff.h"
#include "volphotorev/operation.h"
#include "volphotorev/photoitems.h"

class IPartition;

class CExfatSearchPhoto : public IOperation {
public:
    // None of the three is owned; all must outlive the operation.
    CExfatSearchPhoto(IPartition* partition, ExfatVolume* volume, IPhotoItmesMgr* store);

    // CURRENT_TASK_START, the walk, CURRENT_TASK_FINISHED. 0, or negative
    // when the root folder cannot be read or the sink asked to stop.
    int Do(IEventSink* sink) override;

    // The walk, breadth first from the root folder. Progress counts the
    // sectors of the live files met against the volume's allocated sectors.
    // 0, or -1 when the root folder cannot be read or the sink stopped it.
    int TraverseFileRecord();

    // Photos stored so far: listed by their folders, and found from the
    // entry sets of deleted files.
    int64_t LivePhotos() const { return m_live; }
    int64_t DeletedPhotos() const { return m_deleted; }
    // The sectors (first, count) of every deleted photo the walk took as
    // whole, kept or not by the store (a type the user left out): the raw
    // scan is not to find them again. Moved out; call after Do.
    std::vector<std::pair<int64_t, int64_t>> TakeDeletedSectors() { return std::move(m_deletedSectors); }

protected:
    ~CExfatSearchPhoto() override = default;

private:
    struct PendingFolder {
        uint32_t firstCluster = 0;
        uint64_t bytes = 0;
        bool noFatChain = false;
        std::u16string path;  // "DCIM/100CANON"; empty for the root
    };

    // Reads a folder's entry sets. 0, or -1 when it cannot be read.
    int ReadFolder(const PendingFolder& folder, ExfatDirectory& out);
    // A live file: stored when its name is a photo's (or, when the store
    // looks inside files, when its first sector begins like one). 0, or the
    // sink's negative answer to the progress report.
    int DealWithFile(const ExfatFileEntry& file, const std::u16string& folder);
    // A deleted file: stored when its name is a photo's, its clusters are all
    // free and its bytes begin with that photo and hold its structure.
    void DealWithDeletedFile(const ExfatFileEntry& file, const std::u16string& folder);
    // The clusters a deleted file held: those from its first one when it was
    // stored in one piece (all must still be free); else its FAT chain when
    // that still runs through free clusters for exactly its length; else the
    // free clusters from its first one on, stepping over clusters in use.
    // Empty when they leave the volume or its first cluster is in use.
    std::vector<ExfatClusterRun> DeletedRuns(const ExfatFileEntry& file);
    // A new item for `file` of `folder`, with its time and its runs in
    // 512-byte sectors.
    std::unique_ptr<PhotoItem> MakeItem(const ExfatFileEntry& file, const std::u16string& folder,
                                        const std::vector<ExfatClusterRun>& runs, PhotoCategory category,
                                        PhotoOrigin origin) const;

    // Keeps a live file whose name names no photo until its first sector is
    // read (m_unnamed); StoreSniffed stores it when it begins like a photo.
    void LookInside(std::unique_ptr<PhotoItem> item);
    void StoreSniffed(std::unique_ptr<PhotoItem>& item, const PhotoFormat& format);

    IPartition* m_partition;
    ExfatVolume* m_volume;
    IEventSink* m_sink = nullptr;
    IPhotoItmesMgr* m_store;
    // One flag per cluster number, set for every cluster a folder, a live
    // file or an accepted deleted file was given: no cluster is listed twice,
    // and looping chains and folders that link back end.
    std::vector<bool> m_claimed;
    // Deleted files are taken once every live file has claimed its clusters.
    std::vector<std::pair<ExfatFileEntry, std::u16string>> m_deletedFiles;
    std::vector<std::pair<int64_t, int64_t>> m_deletedSectors;
    int64_t m_live = 0;
    int64_t m_deleted = 0;
    CSniffBatch<std::unique_ptr<PhotoItem>> m_unnamed{
        [this](std::unique_ptr<PhotoItem>& item, const PhotoFormat& format) { StoreSniffed(item, format); }};
};
