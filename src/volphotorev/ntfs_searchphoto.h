// The walk of an NTFS volume's file records that lists the photos it still
// has, and the deleted ones whose records survive.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "filesystem/ntfs_rl.h"

#include "volphotorev/contentsniff.h"
#include "volphotorev/operation.h"

class IAlloUnitMgr;
class IPartition;
class IDevice;
class IPhotoItmesMgr;
struct NtfsVolume;
struct PhotoItem;

// Reads the MFT in 8 MiB batches and stores every in-use, non-extension file
// record whose name (the whole name) ends in a photo extension and whose
// $DATA is non-resident, with its runs in 512-byte sectors of the partition,
// its folder (rebuilt through the parent references of the folders' records)
// and its modification time. Holes and unmapped runs keep their negative LCN
// value (LCN_HOLE, LCN_RL_NOT_MAPPED) as volumeSector: they have no sectors
// on disk and read back as zeros.
//
// With the volume's map of used sectors given (SetAllocationMap), records
// no longer in use are looked at too: one that still holds a photo's name
// and its $DATA (non-resident, every cluster of which is free in the map, or
// resident in the record) is stored with origin DeletedRecord when its data
// begins with the photo's signature and its structure agrees with its size.
// When the store looks inside files, an in-use file of a sector or more
// whose name names no photo is stored too when its first sector begins like
// a photo. Progress is counted in file records.
class CNtfsSearchPhoto : public IOperation {
public:
    // None of the four is owned; all must outlive the operation.
    CNtfsSearchPhoto(IPartition* partition, IDevice* device, NtfsVolume* volume, IPhotoItmesMgr* items)
        : m_partition(partition), m_device(device), m_volume(volume), m_items(items) {}

    int Do(IEventSink* sink) override;

    // The volume's map of used sectors as $Bitmap gives it (one unit per
    // 512-byte sector), not owned, to be kept until the walk ends; only
    // queried. Without it deleted records are not looked at.
    void SetAllocationMap(IAlloUnitMgr* map) { m_map = map; }

    // The walk: 0 when every batch was read, -1 when it failed or was stopped
    // (photos stored so far stay in the store, with their folders).
    int TraverseFileRecord();
    // Examines one in-use base file record, numbered `index`, in place (its
    // fixup is applied in the buffer) and keeps it when it is a photo; the
    // store gets it, with its folder, from FillFolders (when
    // TraverseFileRecord ends). Always 0.
    int DealWithRecord(std::span<uint8_t> record, int64_t index);
    // Examines a base file record that is not in use, in place; a record
    // whose fixup fails is left alone. Always 0.
    int DealWithDeletedRecord(std::span<uint8_t> record, int64_t index);
    // Gives the store every photo kept so far (files still waiting to be
    // looked inside are looked at first), each with its folder from the
    // folder records seen until now.
    void FillFolders();

    // The sectors (first, count) of every deleted photo the walk took as
    // whole, kept or not by the store (a type the user left out): the raw
    // scan is not to find them again. Moved out; call after Do.
    std::vector<std::pair<int64_t, int64_t>> TakeDeletedSectors() { return std::move(m_deletedSectors); }

    // The text of the folder a parent reference ($FILE_NAME's first eight
    // bytes: record number and sequence number) leads to, from the root,
    // through the folder records the walk has seen: "" for the root;
    // "Lost folder N" in place of a folder whose record N is gone or used
    // by something else now.
    std::u16string FolderOf(uint64_t parentReference);

private:
    struct Folder {
        std::u16string name;
        uint64_t parent = 0;    // reference of its own parent
        uint16_t sequence = 0;  // the record's sequence number
        bool inUse = false;
    };
    struct Parsed;  // what a record holds that the walk needs

    // Notes a folder's record for FolderOf.
    void NoteFolder(const Parsed& rec, int64_t index, bool inUse);
    // Completes a record that keeps an attribute list from the records the
    // list names (kept in `records`; in use or free as the record is): the
    // name it lacks, and the runs of its data from every extent, which must
    // follow each other from cluster 0 to the allocated size. False when the
    // list or a record cannot be followed.
    bool GatherSpilled(Parsed& rec, int64_t index, bool inUse, std::vector<std::vector<uint8_t>>& records,
                       Runlist& runs);
    // Keeps the item until FillFolders, when the walk has seen every folder.
    void Store(std::unique_ptr<PhotoItem> item, uint64_t parent);
    // True when every cluster of [lcn, lcn + count) is free in the map and
    // not given to a deleted photo already.
    bool ClustersFree(int64_t lcn, int64_t count) const;
    // A file looked inside, with its parent reference.
    using Unnamed = std::pair<std::unique_ptr<PhotoItem>, uint64_t>;
    // Keeps a file whose name names no photo until its first sector is read
    // (m_unnamed); StoreSniffed stores it when it begins like a photo.
    void LookInside(std::unique_ptr<PhotoItem> item, uint64_t parent);
    void StoreSniffed(Unnamed& file, const PhotoFormat& format);

    IPartition* m_partition;
    IDevice* m_device;
    NtfsVolume* m_volume;
    IEventSink* m_sink = nullptr;  // set while Do runs
    IPhotoItmesMgr* m_items;
    IAlloUnitMgr* m_map = nullptr;
    std::unordered_map<int64_t, Folder> m_folders;     // by record number
    std::unordered_map<int64_t, std::u16string> m_paths;  // folders already resolved
    // Photos found, kept here until their folders are known: the store takes
    // them at the end of the walk (it moves them into its own chunks).
    std::vector<std::pair<std::unique_ptr<PhotoItem>, uint64_t>> m_waiting;
    std::map<int64_t, int64_t> m_taken;  // clusters given to deleted photos: first -> end
    std::vector<std::pair<int64_t, int64_t>> m_deletedSectors;
    CSniffBatch<Unnamed> m_unnamed{[this](Unnamed& file, const PhotoFormat& format) { StoreSniffed(file, format); }};
};
