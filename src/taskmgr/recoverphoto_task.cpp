#include "taskmgr/recoverphoto_task.h"

#include <new>

#include "io/disk.h"
#include "io/log.h"
#include "taskmgr/taskmgr.h"
#include "volphotorev/exfat_searchphoto.h"
#include "volphotorev/fat_searchphoto.h"
#include "volphotorev/ntfs_searchphoto.h"
#include "volphotorev/raw_photorev.h"

namespace {

// Calls `mark(first, count)` for each maximal block of consecutive clusters
// that `used(c)` says are used, c from `first` to `last`.
template <typename Used, typename Mark>
void ForEachUsedBlock(uint64_t first, uint64_t last, Used&& used, Mark&& mark) {
    uint64_t start = 0;
    bool open = false;
    for (uint64_t c = first; c <= last; ++c) {
        if (used(c)) {
            if (!open) start = c;
            open = true;
        } else if (open) {
            mark(start, c - start);
            open = false;
        }
    }
    if (open) mark(start, last + 1 - start);
}

}  // namespace

CRecoverPhotoTask::CRecoverPhotoTask(IPartition* partition, CTaskMgr* taskMgr)
    : m_partition(partition), m_owner(taskMgr) {
    m_taskMgr = taskMgr;
    if (!partition) return;
    CDisk* disk = partition->GetDisk();
    m_diskNo = disk ? disk->GetDiskNo() : -1;
    m_partNo = partition->GetPartNo();
    m_layoutBefore = CurrentDiskLayout(disk);
    m_layoutAfter = m_layoutBefore;
}

CRecoverPhotoTask::~CRecoverPhotoTask() {
    m_allocMap.reset();
    m_fatVolume.reset();
    m_exfatVolume.reset();
    NtfsUnmount(std::move(m_ntfsVolume));
    m_device.reset();
}

int CRecoverPhotoTask::Run(IEventSink* sink) {
    if (!sink || !m_partition || !m_owner) return -1;
    m_sink = sink;
    CDisk* disk = m_partition->GetDisk();
    if (!disk || !disk->GetHandle()) return -1;
    m_device.reset(new (std::nothrow) CVolDevice(disk, m_partition->GetOff()));
    if (!m_device) return -1;

    const int fs = m_partition->GetFs();
    const bool fat32 = fs == 11 || fs == 12;
    const bool ntfs = fs == FS_NTFS;
    const bool exfat = fs == FS_EXFAT;
    m_sink->Notify(INIT_TASK_COUNT, (fat32 || ntfs || exfat) ? 2 : 1, nullptr, 0);

    // The walk's own result does not matter: a failed or stopped walk leaves
    // no map, and the raw scan then covers the whole partition.
    if (fat32) SearchFat32();
    else if (ntfs) SearchNtfs();
    else if (exfat) SearchExfat();

    if (!m_allocMap && CreateAlloUnitMgr() != 0) return -1;

    IPhotoItmesMgr* store = m_owner->GetPhotoItemsMgr();
    if (!store) return -1;
    CRawScanPhoto* scan = new (std::nothrow) CRawScanPhoto(m_partition, m_allocMap.get(), store);
    if (!scan) return -1;
    const int result = scan->Do(m_sink);
    scan->Release();
    m_sink->Notify(ALL_TASKS_FINISHED, 0, nullptr, 0);
    return result;
}

int CRecoverPhotoTask::CreateAlloUnitMgr() {
    m_allocMap.reset();
    const uint64_t sectors = m_partition ? m_partition->GetLen() : 0;
    if (sectors > static_cast<uint64_t>(INT64_MAX)) return -1;
    std::unique_ptr<CAlloUnitMgr> map(new (std::nothrow) CAlloUnitMgr());
    if (!map || map->InitFree(static_cast<int64_t>(sectors)) != 0) return -1;
    m_allocMap = std::move(map);
    return 0;
}

int CRecoverPhotoTask::SearchFat32() {
    m_fatVolume = MountFatVol(m_device.get(), static_cast<int64_t>(m_partition->GetLen()));
    if (!m_fatVolume || !m_fatVolume->dbr || !m_fatVolume->fat) return -1;
    IPhotoItmesMgr* store = m_owner->GetPhotoItemsMgr();
    if (!store) return -1;
    CFatSearchPhoto* walk = new (std::nothrow) CFatSearchPhoto(m_partition, m_fatVolume.get(), store);
    if (!walk) return -1;
    const int result = walk->Do(m_sink);
    walk->Release();
    if (result < 0) return result;
    if (CreateAlloUnitMgr() != 0) return -1;
    if (FillFromFat(*m_allocMap, *m_fatVolume->dbr, *m_fatVolume->fat) != 0) {
        m_allocMap.reset();
        return -1;
    }
    return 0;
}

int CRecoverPhotoTask::FillFromFat(CAlloUnitMgr& map, const FAT_DBR_BUFF& dbr, const FAT32_FAT_Buffer& fat) {
    const uint64_t reserved = dbr.GetReservedSectors();
    const uint64_t fats = dbr.GetFatCount();
    const uint64_t fatSectors = dbr.GetSectorsPerFat();
    const uint64_t spc = dbr.GetSectorsPerCluster();
    if (spc == 0) return -1;
    const uint64_t dataStart = reserved + fats * fatSectors;  // below 2^49: no overflow
    map.SetUsed(0, static_cast<int64_t>(std::min<uint64_t>(dataStart, INT64_MAX)));

    // Only clusters whose entry lies inside the table are looked at.
    uint64_t last = fat.highestCluster();
    if (fat.entryCount() == 0) return 0;
    last = std::min<uint64_t>(last, fat.entryCount() - 1);
    // Clusters past the partition's end have no sectors to mark.
    const uint64_t units = static_cast<uint64_t>(map.GetUnits());
    if (units <= dataStart) return 0;
    last = std::min<uint64_t>(last, (units - dataStart) / spc + 2);
    if (last < 2) return 0;
    ForEachUsedBlock(
        2, last, [&](uint64_t c) { return !fat.IsFree(static_cast<uint32_t>(c)); },
        [&](uint64_t first, uint64_t count) {
            map.SetUsed(static_cast<int64_t>(dataStart + spc * (first - 2)), static_cast<int64_t>(spc * count));
        });
    return 0;
}

void CRecoverPhotoTask::FillFromBitmap(CAlloUnitMgr& map, const uint8_t* bitmap, uint64_t bytes, int64_t clusters,
                                       int64_t sectorsPerCluster) {
    if (!bitmap || bytes == 0) return;
    map.SetUsedByClusterBitmap(std::span<const uint8_t>(bitmap, bytes), clusters, 0, sectorsPerCluster);
}

int CRecoverPhotoTask::SearchNtfs() {
    m_ntfsVolume = NtfsMount(m_device.get(), static_cast<int64_t>(m_partition->GetLen()));
    if (!m_ntfsVolume) return -1;
    IPhotoItmesMgr* store = m_owner->GetPhotoItemsMgr();
    if (!store) return -1;
    CNtfsSearchPhoto* walk =
        new (std::nothrow) CNtfsSearchPhoto(m_partition, m_device.get(), m_ntfsVolume.get(), store);
    if (!walk) return -1;
    const int result = walk->Do(m_sink);
    walk->Release();
    if (result < 0) return result;
    if (CreateAlloUnitMgr() != 0) return -1;
    uint64_t bytes = 0;
    std::unique_ptr<uint8_t[]> bitmap = ReadNtfsBitmap(bytes);
    if (!bitmap) {
        m_allocMap.reset();
        return -1;
    }
    const NtfsVolume& v = *m_ntfsVolume;
    FillFromBitmap(*m_allocMap, bitmap.get(), bytes, v.numberOfClusters, v.clusterSize / SECTOR_SIZE);
    return 0;
}

std::unique_ptr<uint8_t[]> CRecoverPhotoTask::ReadNtfsBitmap(uint64_t& bytes) {
    bytes = 0;
    const NtfsVolume& v = *m_ntfsVolume;
    if (v.clusterSize < SECTOR_SIZE || v.numberOfClusters <= 0) return nullptr;
    const int64_t stored = NtfsBitmapBytes(&v);
    if (stored <= 0) return nullptr;
    // A damaged $Bitmap may claim far more than one bit per cluster: read no
    // more than the clusters need, and never more than it holds.
    const uint64_t needed = (static_cast<uint64_t>(v.numberOfClusters) + 7) / 8;
    const uint64_t useful = std::min<uint64_t>(needed, static_cast<uint64_t>(stored));
    if (useful < needed)
        LOG_W("$Bitmap holds %lld bytes, fewer than the %llu its %lld clusters need; the clusters past it are "
              "scanned as free \n",
              static_cast<long long>(stored), static_cast<unsigned long long>(needed),
              static_cast<long long>(v.numberOfClusters));
    const uint64_t clusters = (useful + v.clusterSize - 1) / v.clusterSize;
    const uint64_t length = clusters * v.clusterSize;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[length]());
    if (!buffer) return nullptr;
    if (NtfsReadRl(0, static_cast<int64_t>(clusters), v.bitmapRunlist, m_device.get(), &v,
                   std::span<uint8_t>(buffer.get(), length)) != 0)
        return nullptr;
    bytes = useful;
    return buffer;
}

int CRecoverPhotoTask::SearchExfat() {
    m_exfatVolume = ExfatVolume::Mount(m_device.get(), static_cast<int64_t>(m_partition->GetLen()));
    if (!m_exfatVolume) {
        LOG_E("exFAT volume cannot be read; the whole partition is scanned raw \n");
        return -1;
    }
    IPhotoItmesMgr* store = m_owner->GetPhotoItemsMgr();
    if (!store) return -1;
    CExfatSearchPhoto* walk = new (std::nothrow) CExfatSearchPhoto(m_partition, m_exfatVolume.get(), store);
    if (!walk) return -1;
    const int result = walk->Do(m_sink);
    walk->Release();
    if (result < 0) {
        LOG_E("exFAT walk did not finish (%d); the whole partition is scanned raw \n", result);
        return result;
    }
    if (CreateAlloUnitMgr() != 0) return -1;
    FillFromExfat(*m_allocMap, *m_exfatVolume);
    MarkDeletedPhotos(*m_allocMap, *store);
    return 0;
}

void CRecoverPhotoTask::MarkDeletedPhotos(CAlloUnitMgr& map, IPhotoItmesMgr& store) {
    for (int32_t c = 0; c < kPhotoCategoryCount; ++c) {
        const int n = store.GetItems(c, 0, 0, nullptr);
        std::vector<PhotoItem*> items(static_cast<size_t>(std::max(n, 0)));
        if (n > 0) items.resize(static_cast<size_t>(store.GetItems(c, 0, n, items.data())));
        for (const PhotoItem* item : items) {
            if (item->origin != Deleted) continue;
            for (const PhotoRun& r : item->runs) {
                if (r.sectorCount <= 0) break;
                map.SetUsed(r.volumeSector, r.sectorCount);
            }
        }
    }
}

void CRecoverPhotoTask::FillFromExfat(CAlloUnitMgr& map, const ExfatVolume& volume) {
    map.SetUsed(0, static_cast<int64_t>(volume.HeapSector()));
    const std::span<const uint8_t> bitmap = volume.Bitmap();
    map.SetUsedByClusterBitmap(bitmap, volume.ClusterCount(), static_cast<int64_t>(volume.HeapSector()),
                               static_cast<int64_t>(volume.SectorsPerCluster()));
}
