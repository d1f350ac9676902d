// The photo scan of one partition: file-system walk, map of used sectors,
// raw scan of the rest.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "filesystem/allounitmgr.h"
#include "filesystem/exfat/exfat_mount.h"
#include "filesystem/fatmount.h"
#include "io/deviceio.h"
#include "taskmgr/task.h"
#include "volphotorev/operation.h"
#include "volphotorev/photoitems.h"

#include "filesystem/ntfs_mount.h"

class CTaskMgr;
class CScanSession;

// When a scan tells its sink (DRIVE_FAILING) that the drive seems to be
// failing: this many failed reads in a row, or this many in all.
constexpr uint32_t kFailingReadsInARow = 32;
constexpr uint64_t kFailingReads = 256;

class CRecoverPhotoTask : public ITask {
public:
    // Takes the partition's disk number, partition number and the disk's
    // layout; opens nothing yet. The partition is not owned and must outlive
    // the task; the found photos go to the task manager's store.
    CRecoverPhotoTask(IPartition* partition, CTaskMgr* taskMgr);
    ~CRecoverPhotoTask() override;

    // Scans the partition. The raw scan's result (0 or negative), or -1 when
    // the scan could not start. Sends INIT_TASK_COUNT first and
    // ALL_TASKS_FINISHED last once the device is open.
    int Run(IEventSink* sink) override;

    // Saves the scan as it runs into `session` (not owned; it must outlive
    // the task), and goes on from where the session was saved when its walk
    // is over: then the walk is not done again, the map is made the way it
    // was, and the raw scan starts at the saved position. The session's
    // photos must be in the store already.
    void SetSession(CScanSession* session) { m_session = session; }

    // The FAT32 walk (unless `walk` is false), then the map of used sectors
    // from the FAT (read a piece at a time, see IAlloUnitSource). 0, or
    // negative when the volume cannot be mounted, the walk failed or was
    // stopped, or the map cannot be made (then there is no map).
    int SearchFat32(bool walk = true);
    // The NTFS walk, then the map of used sectors from $Bitmap, read a window
    // at a time; as SearchFat32.
    int SearchNtfs(bool walk = true);
    // The exFAT walk, then the map of used sectors from the allocation
    // bitmap; as SearchFat32. A volume whose boot region or root folder
    // cannot be read is logged and left to the raw scan whole.
    int SearchExfat(bool walk = true);
    // The free sectors of the file system's clusters, by its own allocation.
    int64_t FileSystemFreeSectors() const;
    // A new map with every sector of the partition free: 0 or -1.
    int CreateAlloUnitMgr();

    CAlloUnitMgr* GetAlloUnitMgr() { return m_allocMap.get(); }

    // Marks used the reserved sectors, the FATs and every cluster whose entry
    // is not free, looking at no entry past the table (MakeFatAllocSource
    // read into `map` at once). 0 or -1.
    static int FillFromFat(CAlloUnitMgr& map, const FAT_DBR_BUFF& dbr, const FAT32_FAT_Buffer& fat);
    // Marks used the sectors (first, count) of the photos a walk found
    // through deleted entries or records, so that the raw scan does not find
    // them again. Gives the number of free sectors it marked.
    static int64_t MarkDeletedPhotosUsed(CAlloUnitMgr& map, const std::vector<std::pair<int64_t, int64_t>>& sectors);
    // Marks used the sectors of every cluster whose bit is set in `bitmap`
    // (bit i mod 8 of byte i / 8), for clusters 0 to clusters - 1 and never
    // past `bytes` bytes of the bitmap.
    static void FillFromBitmap(CAlloUnitMgr& map, const uint8_t* bitmap, uint64_t bytes, int64_t clusters,
                               int64_t sectorsPerCluster);
    // Marks used the boot regions and FATs (everything before the cluster
    // heap) and every cluster whose bit is set in the allocation bitmap.
    static int FillFromExfat(CAlloUnitMgr& map, const ExfatVolume& volume);

private:
    // The map's units: the partition's sectors.
    int64_t MapUnits() const;
    // Replaces the map with one read from `source`: 0, or -1 (no map then)
    // when there is no source or it cannot be read.
    int UseSource(std::unique_ptr<IAlloUnitSource> source);

    IPartition* m_partition;  // not owned
    CTaskMgr* m_owner;        // not owned
    std::unique_ptr<CVolDevice> m_device;
    IEventSink* m_sink = nullptr;  // set by Run
    std::unique_ptr<FatVolume> m_fatVolume;
    std::unique_ptr<NtfsVolume> m_ntfsVolume;
    std::unique_ptr<ExfatVolume> m_exfatVolume;
    std::unique_ptr<CAlloUnitMgr> m_allocMap;
    // Sectors free to the file system that the map holds for deleted photos.
    int64_t m_heldForDeleted = 0;
    CScanSession* m_session = nullptr;  // not owned
};
