// Mounts an exFAT partition of an image, walks it and builds the map of used
// sectors, and reports the CPU time this took beside the bytes it read, and
// the sizes of the allocation bitmap and of the map.
// Usage: exfatwalk_bench IMAGE START_SECTOR SECTORS
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "filesystem/allounitmgr.h"
#include "filesystem/exfat/exfat_mount.h"
#include "io/deviceio.h"
#include "io/log.h"
#include "io/platform/platform.h"
#include "taskmgr/recoverphoto_task.h"
#include "volphotorev/exfat_searchphoto.h"

namespace {

// Counts what the walk reads.
class CountingDevice : public IDevice {
public:
    explicit CountingDevice(IDevice* inner) : m_inner(inner) {}
    int Open(const std::string&) override { return 0; }
    void Close() override {}
    uint64_t ReadSectors(uint64_t lba, uint64_t count, void* buffer) override {
        ++reads;
        sectors += count;
        return m_inner->ReadSectors(lba, count, buffer);
    }
    uint64_t WriteSectors(uint64_t, uint64_t, const void*) override { return 0; }
    uint64_t reads = 0, sectors = 0;

private:
    IDevice* m_inner;
};

class NullSink : public IEventSink {
public:
    int Notify(uint32_t, int32_t, void*, uint32_t) override { return 0; }
};

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s IMAGE START_SECTOR SECTORS\n", argv[0]);
        return 2;
    }
    OpenLogFile("/dev/null");
    int err = 0;
    DevHandle h = Platform().Open(argv[1], true, &err);
    if (!h) return 1;
    const uint64_t start = std::strtoull(argv[2], nullptr, 10);
    const int64_t sectors = std::strtoll(argv[3], nullptr, 10);
    CVolDevice vol(h.get(), start);
    CountingDevice dev(&vol);

    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    auto volume = ExfatVolume::Mount(&dev, sectors);
    if (!volume) return 1;
    CPhotoItemsMgr store;
    NullSink sink;
    auto* walk = new CExfatSearchPhoto(nullptr, volume.get(), &store);
    const int r = walk->Do(&sink);
    const int64_t live = walk->LivePhotos(), deleted = walk->DeletedPhotos();
    const auto deletedSectors = walk->TakeDeletedSectors();
    walk->Release();
    const int64_t resident = std::max<int64_t>(static_cast<int64_t>(volume->Bitmap().size()),
                                               static_cast<int64_t>(CAlloUnitMgr::kPieceBytes));
    CAlloUnitMgr map(resident);
    if (map.InitFromSource(sectors, std::make_unique<CUsedRunsSource>(MakeExfatAllocSource(*volume), deletedSectors)) != 0)
        return 1;
    const double cpu = CpuSeconds() - cpu0;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    std::printf("walk result %d: %lld live photos, %lld deleted\n", r, static_cast<long long>(live),
                static_cast<long long>(deleted));
    std::printf("clusters %u of %llu bytes; read %llu sectors (%.1f MiB) in %llu reads\n", volume->ClusterCount(),
                static_cast<unsigned long long>(volume->BytesPerCluster()),
                static_cast<unsigned long long>(dev.sectors), static_cast<double>(dev.sectors) / 2048,
                static_cast<unsigned long long>(dev.reads));
    std::printf("CPU %.3f s (wall %.3f s)\n", cpu, wall);
    std::printf("allocation bitmap %zu bytes; map %lld bytes\n", volume->Bitmap().size(),
                static_cast<long long>(map.MemoryBytes()));
    return r < 0 ? 1 : 0;
}
