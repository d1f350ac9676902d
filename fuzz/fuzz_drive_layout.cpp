// The partition-table path on a fuzzed disk: the drive layout read from the
// master boot record and the chain of extended boot records, the GPT probe,
// the partition style, and CDpt::LoadPartition with its gaps and checks.
#include <cstdint>
#include <vector>

#include "fuzz_support.h"
#include "io/diskmgr.h"
#include "io/dpt.h"
#include "io/platform/drive_layout.h"

namespace {

constexpr const char* kDiskPath = "/fuzz/disk.img";
// The seeds are 64 KiB disks; a smaller input is the start of one.
constexpr size_t kMinDiskBytes = 64u << 10;
constexpr size_t kMaxDiskBytes = 8u << 20;

void CheckLayout(const std::vector<LayoutEntry>& layout) {
    FUZZ_CHECK(layout.size() >= 4 || layout.empty());
    FUZZ_CHECK(layout.size() <= kMaxLayoutEntries);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog();
    static fuzz::MemoryPlatform platform(kDiskPath);
    SetPlatform(&platform);

    fuzz::Image img = fuzz::SplitImage(data, size, kMinDiskBytes, kMaxDiskBytes);
    RegisterMemoryDisk(kDiskPath, img.bytes, img.badSectors);
    const uint64_t diskBytes = img.bytes->size();

    {
        DevHandle h = OpenMemoryDisk(kDiskPath, true);
        FUZZ_CHECK(h != nullptr);
        for (uint32_t sectorSize : {512u, 4096u}) {
            std::vector<LayoutEntry> layout;
            int err = 0;
            if (ReadDriveLayout(h.get(), diskBytes, sectorSize, layout, &err) == 0) CheckLayout(layout);
            DriveLayoutEx ex;
            if (ReadDriveLayoutEx(h.get(), diskBytes, sectorSize, ex, &err) == 0)
                FUZZ_CHECK(ex.Entries.size() <= kMaxLayoutEntries);
        }
    }

    {
        CDisk disk;
        if (CDiskMgr::LoadDiskInfor(&disk, kDiskPath, 0) == 0) {
            CDiskMgr::DectectParSytle(&disk);
            CDiskMgr::DetectState(&disk);
            int n = disk.LoadPartition();
            FUZZ_CHECK(n >= 1 && n == disk.GetPartitionCount());
            const uint64_t total = disk.GetTotalSectors();
            if (!(disk.GetState() & DISKSTATE_BAD_DPT) && disk.GetParStyle() == PARSTYLE_MBR) {
                // A table that loaded keeps every entry on the disk, in order.
                uint64_t prevOff = 0;
                for (int i = 0; i < n; ++i) {
                    CPartition* p = disk.GetPartition(i);
                    FUZZ_CHECK(p != nullptr);
                    FUZZ_CHECK(p->GetOff() >= prevOff);
                    FUZZ_CHECK(p->GetOff() <= total && p->GetLen() <= total - p->GetOff());
                    prevOff = p->GetOff();
                }
            }
        }
    }

    uint64_t start = 0, count = 0;
    GetDiskActivePar(kDiskPath, start, count);

    UnregisterMemoryDisk(kDiskPath);
    return 0;
}
