// The program's own drive source and task backend. This build carries no
// disk access yet: it lists no drives, opens no images and finds nothing.
#include "app/backend.h"

namespace {

class CNoDriveSource : public IDriveSource {
public:
    int GetDiskCount() override { return 0; }
    IDisk* GetDiskByIndex(int) override { return nullptr; }
    void Refresh() override {}
    int AddImage(const std::string&) override { return -1; }
    int GetDeniedDiskCount() override { return 0; }
};

class CNoTaskBackend : public ITaskBackend {
public:
    int RecoverPhotos(IPartition*, IEventSink*) override { return -1; }
    int GetPhotoItems(int32_t, int32_t, int32_t, PhotoItem**) override { return 0; }
    int ReadPhotoData(PhotoItem*, IPartition*, void*, uint32_t) override { return -1; }
    void Clear() override {}
};

}  // namespace

void InstallSystemBackends(AppServices& services)
{
    static CNoDriveSource drives;
    static CNoTaskBackend tasks;
    services.drives = &drives;
    services.tasks = &tasks;
}
