// The walk of an NTFS volume's file records that lists the photos it still has.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "volphotorev/contentsniff.h"

#include "volphotorev/operation.h"
#include "volphotorev/photoitems.h"

class IPartition;
class IDevice;
struct NtfsVolume;

// Reads the MFT in 8 MiB batches and stores every in-use, non-extension file
// record whose name ends in a photo extension and whose $DATA is
// non-resident, with its runs in 512-byte sectors of the partition. Holes and
// unmapped runs keep their negative LCN value (LCN_HOLE, LCN_RL_NOT_MAPPED) as
// volumeSector: they have no sectors on disk and read back as zeros. Progress
// is counted in file records. When the store looks inside files, a file of a
// sector or more whose name names no photo is stored too when its first
// sector begins like a photo.
class CNtfsSearchPhoto : public IOperation {
public:
    // None of the four is owned; all must outlive the operation.
    CNtfsSearchPhoto(IPartition* partition, IDevice* device, NtfsVolume* volume, IPhotoItmesMgr* items)
        : m_partition(partition), m_device(device), m_volume(volume), m_items(items) {}

    int Do(IEventSink* sink) override;

    // The walk: 0 when every batch was read, -1 when it failed or was stopped
    // (photos stored so far stay in the store).
    int TraverseFileRecord();
    // Examines one in-use base file record, numbered `index`, in place (its
    // fixup is applied in the buffer) and stores it when it is a photo. Always 0.
    int DealWithRecord(std::span<uint8_t> record, int64_t index);

private:
    // Keeps a file whose name names no photo until its first sector is read.
    void LookInside(std::unique_ptr<PhotoItem> item);
    // Reads the first sectors of the files kept so far and stores those that
    // are photos.
    void StoreUnnamedPhotos();

    IPartition* m_partition;
    IDevice* m_device;
    NtfsVolume* m_volume;
    IEventSink* m_sink = nullptr;  // set while Do runs
    IPhotoItmesMgr* m_items;
    std::unique_ptr<CContentSniffer> m_sniffer;         // made for the first file looked inside
    std::vector<std::unique_ptr<PhotoItem>> m_unnamed;  // the sniffer's tags index this
};
