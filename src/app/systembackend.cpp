// The program's own drive source and task backend: the process-wide disk
// manager (the machine's disks, then the disk images opened) and task
// manager.
#include "app/backend.h"

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <system_error>

#include "app/drivetext.h"
#include "io/diskmgr.h"
#include "io/log.h"
#include "io/platform/frontend_checks.h"
#include "taskmgr/scansession.h"
#include "taskmgr/taskmgr.h"

namespace fs = std::filesystem;

namespace {

// The saved scan of a partition, when there is one it can go on with.
std::unique_ptr<CScanSession> OpenSavedScan(IPartition* partition)
{
    SessionIdentity here;
    if (!partition || MakeSessionIdentity(partition, here) != 0) return nullptr;
    const std::string path = SessionFileFor(DefaultSessionFolder(), here);
    if (!SessionFileExists(path)) return nullptr;
    std::string error;
    std::unique_ptr<CScanSession> session = CScanSession::Open(path, error);
    if (!session) {
        LOG_W("the saved scan is not used: %s\n", error.c_str());
        return nullptr;
    }
    const std::string why = SessionMismatch(session->Info().identity, here);
    if (!why.empty()) {
        LOG_W("the saved scan %s is not used: %s\n", path.c_str(), why.c_str());
        return nullptr;
    }
    return session;
}

// A new saved scan for the partition, replacing the one it had; null when
// none can be made, or when the folder of saved scans lies on the partition
// itself, which must never be written.
std::unique_ptr<CScanSession> NewSavedScan(IPartition* partition, const PhotoChoice& choice)
{
    SessionIdentity id;
    if (!partition || MakeSessionIdentity(partition, id) != 0) return nullptr;
    const std::string folder = DefaultSessionFolder();
    std::error_code ec;
    fs::path existing = folder;
    for (int up = 0; up < 64 && !existing.empty() && !fs::exists(existing, ec); ++up) existing = existing.parent_path();
    if (existing.empty() || FolderIsOnPartition(existing.string(), partition) != 0) {
        LOG_W("the scan is not saved: %s may lie on the drive being scanned\n", folder.c_str());
        return nullptr;
    }
    fs::create_directories(folder, ec);
    const std::string path = SessionFileFor(folder, id);
    fs::remove(path, ec);
    id.driveText = FormatDriveText(partition).toStdString();
    std::string error;
    std::unique_ptr<CScanSession> session = CScanSession::Create(path, id, choice, error);
    if (!session) LOG_W("the scan is not saved: %s\n", error.c_str());
    return session;
}

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
    // Every scan is saved as it runs; the saved scan lives as long as the scan.
    int RecoverPhotos(IPartition* partition, IEventSink* sink) override
    {
        std::unique_ptr<CScanSession> session;
        if (m_continue.exchange(false)) session = OpenSavedScan(partition);
        if (!session) session = NewSavedScan(partition, m_choice);
        if (!session) return GetTaskMgr()->RecoverPhotos(partition, sink);
        const int result = GetTaskMgr()->RecoverPhotosWithSession(partition, sink, session.get());
        if (!session->WriteError().empty()) LOG_W("%s\n", session->WriteError().c_str());
        return result;
    }
    void SetPhotoChoice(const PhotoChoice& choice) override
    {
        m_choice = choice;
        GetTaskMgr()->SetPhotoChoice(choice);
    }
    int FindSavedScan(IPartition* partition, SavedScan& out) override
    {
        std::unique_ptr<CScanSession> session = OpenSavedScan(partition);
        if (!session) return 0;
        out.finished = session->Info().state == SessionState::Finished;
        out.photos = session->Info().photos;
        out.saved = static_cast<std::time_t>(session->Info().updated);
        return 1;
    }
    void SetContinueSavedScan(bool resume) override { m_continue = resume; }
    int LoadSavedScan(IPartition* partition) override
    {
        std::unique_ptr<CScanSession> session = OpenSavedScan(partition);
        if (!session) return -1;
        std::string error;
        if (GetTaskMgr()->LoadSession(session.get(), error) != 0) {
            LOG_E("%s\n", error.c_str());
            return -1;
        }
        return 0;
    }
    int GetPhotoItems(int32_t category, int32_t first, int32_t count, PhotoItem** out) override
    {
        return GetTaskMgr()->GetPhotoItems(category, first, count, out);
    }
    int ReadPhotoData(PhotoItem* item, IPartition* partition, void* buffer, uint32_t size) override
    {
        return GetTaskMgr()->ReadPhotoData(item, partition, buffer, size);
    }
    void Clear() override { GetTaskMgr()->Clear(); }

private:
    PhotoChoice m_choice;
    std::atomic<bool> m_continue{false};
};

}  // namespace

void InstallSystemBackends(AppServices& services)
{
    static CDiskMgrDriveSource drives;
    static CTaskMgrBackend tasks;
    services.drives = &drives;
    services.tasks = &tasks;
}
