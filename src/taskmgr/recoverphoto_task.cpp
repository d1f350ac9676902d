#include "taskmgr/recoverphoto_task.h"

#include <algorithm>
#include <climits>
#include <new>

#include "filesystem/allocsources.h"
#include "io/disk.h"
#include "io/log.h"
#include "taskmgr/scansession.h"
#include "taskmgr/taskmgr.h"
#include "volphotorev/exfat_searchphoto.h"
#include "volphotorev/fat_searchphoto.h"
#include "volphotorev/ntfs_searchphoto.h"
#include "volphotorev/raw_photorev.h"

namespace {

// The store of a walk run again only for its deleted photos' sectors: files
// whose names name no photo need not be looked inside.
const PhotoChoice kDeletedSectorsOnly{PhotoChoice{}.categories, 0, false};

// Passes every event on, and adds DRIVE_FAILING once the disk's reads say it
// is failing, so that the front ends can suggest imaging it first.
class CFailingDriveWatch : public IEventSink {
public:
    CFailingDriveWatch(IEventSink* inner, IDeviceHandle* handle) : m_inner(inner), m_handle(handle) {
        if (m_handle) {
            // Each scan judges the drive by its own reads.
            IDeviceHandle::ReadTally& t = m_handle->Tally();
            m_failedBefore = t.failed.load();
            t.mostInARow.store(t.failedInARow.load());
        }
    }
    int Notify(uint32_t code, int32_t value, void* data, uint32_t reserved) override {
        const int result = m_inner->Notify(code, value, data, reserved);
        if (m_told || !m_handle) return result;
        const IDeviceHandle::ReadTally& t = m_handle->Tally();
        const uint64_t failed = t.failed.load() - std::min(t.failed.load(), m_failedBefore);
        if (t.mostInARow.load() < kFailingReadsInARow && failed < kFailingReads) return result;
        m_told = true;
        LOG_W("%llu reads of this scan failed, up to %u in a row: the drive seems to be failing \n",
              static_cast<unsigned long long>(failed), t.mostInARow.load());
        const int answer = m_inner->Notify(DRIVE_FAILING, static_cast<int32_t>(std::min<uint64_t>(failed, INT32_MAX)),
                                           nullptr, 0);
        return answer < 0 ? answer : result;
    }

private:
    IEventSink* m_inner;
    IDeviceHandle* m_handle;  // not owned
    uint64_t m_failedBefore = 0;
    bool m_told = false;
};

// Passes every event on, keeps the session up to date with the raw scan's
// positions, and notes whether the front end asked the scan to stop.
class CSessionWatch : public IEventSink {
public:
    CSessionWatch(IEventSink* inner, CScanSession* session) : m_inner(inner), m_session(session) {}
    int Notify(uint32_t code, int32_t value, void* data, uint32_t reserved) override {
        if (code == RAW_SCAN_POSITION && data && m_session)
            m_session->Mark(*static_cast<const RawScanPosition*>(data));  // a failed save is kept in WriteError
        const int answer = m_inner->Notify(code, value, data, reserved);
        if (answer < 0) m_stopped = true;
        return answer;
    }
    bool Stopped() const { return m_stopped; }

private:
    IEventSink* m_inner;
    CScanSession* m_session;  // not owned, may be null
    bool m_stopped = false;
};

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
    CDisk* disk = m_partition->GetDisk();
    if (!disk || !disk->GetHandle()) return -1;
    CFailingDriveWatch failing(sink, disk->GetHandle());
    CSessionWatch watch(&failing, m_session);
    m_sink = &watch;
    // The watch lives only as long as this call.
    struct Restore {
        IEventSink*& slot;
        IEventSink* sink;
        ~Restore() { slot = sink; }
    } restore{m_sink, sink};
    m_device.reset(new (std::nothrow) CVolDevice(disk, m_partition->GetOff()));
    if (!m_device) return -1;

    const int fs = m_partition->GetFs();
    // FAT12 and FAT16 are walked as FAT32 is; the walk reads the width from
    // the boot record. (14 and 12 are the partition types 0x0E and 0x0C.)
    const bool fat = fs == FS_FAT12 || fs == FS_FAT16 || fs == 14 || fs == FS_FAT32 || fs == 12;
    const bool ntfs = fs == FS_NTFS;
    const bool exfat = fs == FS_EXFAT;
    // A session whose walk was over goes on with the raw scan alone.
    const bool resume = m_session && m_session->Info().state == SessionState::RawScan;
    m_sink->Notify(INIT_TASK_COUNT, (fat || ntfs || exfat) && !resume ? 2 : 1, nullptr, 0);

    IPhotoItmesMgr* store = m_owner->GetPhotoItemsMgr();
    if (!store) return -1;
    if (m_session) m_session->Attach(store);
    if (!resume) {
        // The walk's own result does not matter: a failed or stopped walk
        // leaves no map, and the raw scan then covers the whole partition.
        if (fat) SearchFat32();
        else if (ntfs) SearchNtfs();
        else if (exfat) SearchExfat();
    } else if (m_session->Info().map == SessionMap::FileSystem) {
        // The map must be the one the scan began with, or the raw scan would
        // not find what it would have found.
        if (fat) SearchFat32(false);
        else if (ntfs) SearchNtfs(false);
        else if (exfat) SearchExfat(false);
        if (!m_allocMap) {
            LOG_E("the file system's map of used sectors cannot be read as it was when the saved scan began\n");
            m_sink->Notify(ALL_TASKS_FINISHED, 0, nullptr, 0);
            return -1;
        }
    }
    const bool mapFromFileSystem = m_allocMap != nullptr;
    if (m_allocMap) {
        // The map is the file system's own allocation: its free space,
        // whether or not the volume is mounted here.
        int64_t freeSectors = FileSystemFreeSectors();
        m_sink->Notify(FREE_SECTORS_KNOWN, 0, &freeSectors, 0);
    } else if (CreateAlloUnitMgr() != 0) {
        return -1;
    }
    // A walk the user stopped is done again next time; one that failed is
    // not, and neither is its map.
    if (m_session && !resume && !watch.Stopped())
        m_session->WalkDone(mapFromFileSystem ? SessionMap::FileSystem : SessionMap::AllFree);

    CRawScanPhoto* scan = new (std::nothrow) CRawScanPhoto(m_partition, m_allocMap.get(), store);
    if (!scan) return -1;
    if (m_session) {
        scan->ReportPositions(true);
        if (resume) scan->ResumeFrom(m_session->Info().position);
    }
    const int result = scan->Do(m_sink);
    scan->Release();
    if (m_session && m_session->Info().state == SessionState::RawScan) {
        if (result == 0) m_session->Finish();
        else m_session->Commit();
    }
    m_sink->Notify(ALL_TASKS_FINISHED, 0, nullptr, 0);
    return result;
}

int64_t CRecoverPhotoTask::FileSystemFreeSectors() const {
    if (!m_allocMap) return 0;
    // Sectors past the last cluster (the rest of a partition that holds no
    // whole cluster more, NTFS's backup boot sector) are free to the raw
    // scan but are no space the file system can give out.
    const int64_t units = m_allocMap->GetUnits();
    int64_t end = units;
    if (m_ntfsVolume && m_ntfsVolume->clusterSize >= 512)
        end = m_ntfsVolume->numberOfClusters * (m_ntfsVolume->clusterSize / 512);
    else if (m_fatVolume && m_fatVolume->dbr && m_fatVolume->dbr->GetSectorsPerCluster() > 0)
        end = static_cast<int64_t>(m_fatVolume->dbr->GetFirstDataSector()) +
              static_cast<int64_t>(m_fatVolume->dbr->GetClusterCount()) * m_fatVolume->dbr->GetSectorsPerCluster();
    else if (m_exfatVolume)
        end = static_cast<int64_t>(m_exfatVolume->HeapSector() +
                                   uint64_t{m_exfatVolume->ClusterCount()} * m_exfatVolume->SectorsPerCluster());
    end = std::clamp<int64_t>(end, 0, units);
    int64_t tailFree = 0;
    for (int64_t u = m_allocMap->NextFree(end, units); u < units;) {
        const int64_t v = m_allocMap->NextUsed(u, units);
        tailFree += v - u;
        u = m_allocMap->NextFree(v, units);
    }
    // Deleted photos' sectors are held from the raw scan, not taken from
    // the file system's free space.
    return m_allocMap->CountFreeUnits() - tailFree + m_heldForDeleted;
}

int CRecoverPhotoTask::CreateAlloUnitMgr() {
    m_allocMap.reset();
    const uint64_t sectors = m_partition ? m_partition->GetLen() : 0;
    if (sectors > static_cast<uint64_t>(INT64_MAX)) return -1;
    std::unique_ptr<CAlloUnitMgr> map(new (std::nothrow) CAlloUnitMgr());
    if (!map || map->InitFree(MapUnits()) != 0) return -1;
    m_allocMap = std::move(map);
    return 0;
}

namespace {

// Hears nothing and never stops: for a walk whose photos are not wanted.
class CQuietSink : public IEventSink {
public:
    int Notify(uint32_t, int32_t, void*, uint32_t) override { return 0; }
};

}  // namespace

int CRecoverPhotoTask::SearchFat32(bool walk) {
    m_fatVolume = MountFatVol(m_device.get(), static_cast<int64_t>(m_partition->GetLen()));
    if (!m_fatVolume || !m_fatVolume->dbr || !m_fatVolume->fat) return -1;
    IPhotoItmesMgr* store = m_owner->GetPhotoItemsMgr();
    if (!store) return -1;
    // The map keeps deleted photos' sectors from the raw scan, and only the
    // walk finds them: going on with a saved scan, the walk runs again into
    // a store of its own, as its photos are saved already.
    CPhotoItemsMgr scratch(kDeletedSectorsOnly);
    CQuietSink quiet;
    CFatSearchPhoto* search = new (std::nothrow) CFatSearchPhoto(m_partition, m_fatVolume.get(), walk ? store : &scratch);
    if (!search) return -1;
    const int result = search->Do(walk ? m_sink : static_cast<IEventSink*>(&quiet));
    const auto deleted = search->TakeDeletedSectors();
    search->Release();
    if (result < 0) return result;
    // Deleted photos' sectors go into the map as it is read, so its pieces
    // stay as the FAT has them and can be dropped and read again.
    auto held = std::make_unique<CUsedRunsSource>(MakeFatAllocSource(*m_fatVolume->dbr, *m_fatVolume->fat, MapUnits()),
                                                  deleted);
    const CUsedRunsSource* counted = held.get();
    if (UseSource(std::move(held)) != 0) return -1;
    m_heldForDeleted = counted->AddedUnits();
    return 0;
}

int64_t CRecoverPhotoTask::MapUnits() const {
    const uint64_t sectors = m_partition ? m_partition->GetLen() : 0;
    return static_cast<int64_t>(std::min<uint64_t>(sectors, INT64_MAX));
}

int CRecoverPhotoTask::UseSource(std::unique_ptr<IAlloUnitSource> source) {
    m_allocMap.reset();
    if (!source) return -1;
    std::unique_ptr<CAlloUnitMgr> map(new (std::nothrow) CAlloUnitMgr());
    if (!map || map->InitFromSource(MapUnits(), std::move(source)) != 0) return -1;
    m_allocMap = std::move(map);
    return 0;
}

int CRecoverPhotoTask::FillFromFat(CAlloUnitMgr& map, const FAT_DBR_BUFF& dbr, const FAT32_FAT_Buffer& fat) {
    std::unique_ptr<IAlloUnitSource> source = MakeFatAllocSource(dbr, fat, map.GetUnits());
    return source ? map.MarkUsedFrom(*source) : -1;
}

void CRecoverPhotoTask::FillFromBitmap(CAlloUnitMgr& map, const uint8_t* bitmap, uint64_t bytes, int64_t clusters,
                                       int64_t sectorsPerCluster) {
    if (!bitmap || bytes == 0) return;
    map.SetUsedByClusterBitmap(std::span<const uint8_t>(bitmap, bytes), clusters, 0, sectorsPerCluster);
}

int CRecoverPhotoTask::SearchNtfs(bool walk) {
    m_ntfsVolume = NtfsMount(m_device.get(), static_cast<int64_t>(m_partition->GetLen()));
    if (!m_ntfsVolume) return -1;
    IPhotoItmesMgr* store = m_owner->GetPhotoItemsMgr();
    if (!store) return -1;
    // The map of used sectors first: the walk asks it whether a deleted
    // file's clusters are still free. (Going on with a saved scan, as for
    // FAT32.)
    const int mapped = UseSource(MakeNtfsAllocSource(m_device.get(), m_ntfsVolume.get()));
    CPhotoItemsMgr scratch(kDeletedSectorsOnly);
    CQuietSink quiet;
    CNtfsSearchPhoto* search = new (std::nothrow)
        CNtfsSearchPhoto(m_partition, m_device.get(), m_ntfsVolume.get(), walk ? store : &scratch);
    if (!search) {
        m_allocMap.reset();
        return -1;
    }
    if (mapped == 0) search->SetAllocationMap(m_allocMap.get());
    const int result = search->Do(walk ? m_sink : static_cast<IEventSink*>(&quiet));
    const auto deleted = search->TakeDeletedSectors();
    search->Release();
    if (result < 0 || mapped != 0) {
        m_allocMap.reset();
        return result < 0 ? result : -1;
    }
    m_heldForDeleted = MarkDeletedPhotosUsed(*m_allocMap, deleted);
    return 0;
}

int64_t CRecoverPhotoTask::MarkDeletedPhotosUsed(CAlloUnitMgr& map,
                                                 const std::vector<std::pair<int64_t, int64_t>>& sectors) {
    const int64_t before = map.CountFreeUnits();
    for (const auto& [first, count] : sectors)
        if (first >= 0 && count > 0) map.SetUsed(first, count);
    return before - map.CountFreeUnits();
}

int CRecoverPhotoTask::SearchExfat(bool walk) {
    m_exfatVolume = ExfatVolume::Mount(m_device.get(), static_cast<int64_t>(m_partition->GetLen()));
    if (!m_exfatVolume) {
        LOG_E("exFAT volume cannot be read; the whole partition is scanned raw \n");
        return -1;
    }
    IPhotoItmesMgr* store = m_owner->GetPhotoItemsMgr();
    if (!store) return -1;
    // The map keeps deleted photos' sectors from the raw scan, and only the
    // walk finds them: going on with a saved scan, the walk runs again into
    // a store of its own, as its photos are saved already.
    CPhotoItemsMgr scratch(kDeletedSectorsOnly);
    CQuietSink quiet;
    CExfatSearchPhoto* search =
        new (std::nothrow) CExfatSearchPhoto(m_partition, m_exfatVolume.get(), walk ? store : &scratch);
    if (!search) return -1;
    const int result = search->Do(walk ? m_sink : static_cast<IEventSink*>(&quiet));
    const auto deleted = search->TakeDeletedSectors();
    search->Release();
    if (result < 0) {
        LOG_E("exFAT walk did not finish (%d); the whole partition is scanned raw \n", result);
        return result;
    }
    // The map reads the bitmap again rather than holding more of it than the
    // bitmap's own size.
    m_allocMap.reset();
    const int64_t resident = std::max<int64_t>(static_cast<int64_t>(m_exfatVolume->Bitmap().size()),
                                               static_cast<int64_t>(CAlloUnitMgr::kPieceBytes));
    std::unique_ptr<CAlloUnitMgr> map(new (std::nothrow) CAlloUnitMgr(resident));
    auto held = std::make_unique<CUsedRunsSource>(MakeExfatAllocSource(*m_exfatVolume), deleted);
    const CUsedRunsSource* counted = held.get();
    if (!map || map->InitFromSource(MapUnits(), std::move(held)) != 0) return -1;
    m_allocMap = std::move(map);
    m_heldForDeleted = counted->AddedUnits();
    return 0;
}

int CRecoverPhotoTask::FillFromExfat(CAlloUnitMgr& map, const ExfatVolume& volume) {
    std::unique_ptr<IAlloUnitSource> source = MakeExfatAllocSource(volume);
    return source ? map.MarkUsedFrom(*source) : -1;
}
