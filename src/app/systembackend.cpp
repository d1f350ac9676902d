// The program's own drive source and task backend: the process-wide disk
// manager (the machine's disks, then the disk images opened) and task
// manager.
#include "app/backend.h"

#include <cerrno>

#include "io/diskmgr.h"
#include "io/platform/frontend_checks.h"
#include "taskmgr/taskmgr.h"

namespace {

class CDiskMgrDriveSource : public IDriveSource {
public:
    int GetDiskCount() override { return CDiskMgr::Instance().GetDiskCount(); }
    IDisk* GetDiskByIndex(int index) override { return CDiskMgr::Instance().GetDiskByIndex(index); }
    void Refresh() override
    {
        CDiskMgr& mgr = CDiskMgr::Instance();
        mgr.ReleaseAllDisk();
        mgr.LoadAllDisk();
    }
    int AddImage(const std::string& path) override { return CDiskMgr::Instance().AddImage(path); }
    int GetDeniedDiskCount() override { return CDiskMgr::Instance().GetDeniedDiskCount(); }
    std::string GetLastImageError() override { return CDiskMgr::Instance().GetLastImageError(); }
    std::vector<UnopenedDisk> GetUnopenedDisks() override
    {
        std::vector<UnopenedDisk> disks;
        for (const CDiskMgr::UnopenedDisk& u : CDiskMgr::Instance().GetUnopenedDisks())
            disks.push_back(UnopenedDisk{u.path, u.err != 0 ? ErrorReason(u.err) : std::string(),
                                         u.err == EACCES || u.err == EPERM});
        return disks;
    }
};

class CTaskMgrBackend : public ITaskBackend {
public:
    int RecoverPhotos(IPartition* partition, IEventSink* sink) override
    {
        return GetTaskMgr()->RecoverPhotos(partition, sink);
    }
    void SetPhotoChoice(const PhotoChoice& choice) override { GetTaskMgr()->SetPhotoChoice(choice); }
    int GetPhotoItems(int32_t category, int32_t first, int32_t count, PhotoItem** out) override
    {
        return GetTaskMgr()->GetPhotoItems(category, first, count, out);
    }
    int ReadPhotoData(PhotoItem* item, IPartition* partition, void* buffer, uint32_t size) override
    {
        return GetTaskMgr()->ReadPhotoData(item, partition, buffer, size);
    }
    void Clear() override { GetTaskMgr()->Clear(); }
};

}  // namespace

void InstallSystemBackends(AppServices& services)
{
    static CDiskMgrDriveSource drives;
    static CTaskMgrBackend tasks;
    services.drives = &drives;
    services.tasks = &tasks;
}
