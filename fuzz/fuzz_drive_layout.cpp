// The partition-table path on a fuzzed disk: the drive layout read from the
// master boot record and the chain of extended boot records, the GPT with its
// backup, the partition style, and CDpt's MBR and GPT lists with their gaps
// and checks. Inputs whose last byte is odd get their GPT CRCs made right, so
// that what lies behind the checks is fuzzed too.
#include <cstdint>
#include <vector>

#include <zlib.h>

#include "fuzz_support.h"
#include "io/diskmgr.h"
#include "io/dpt.h"
#include "io/le.h"
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

// Makes the CRCs of the GPT header at `lba` (512-byte sectors) right.
void FixGptCrcs(std::vector<uint8_t>& d, uint64_t lba) {
    if (d.size() < 512 || lba > d.size() / 512 - 1) return;
    std::span<uint8_t> hdr(d.data() + lba * 512, 512);
    const uint64_t entries = le::u64(hdr, 72);
    const uint64_t bytes = uint64_t{le::u32(hdr, 80)} * le::u32(hdr, 84);
    if (entries < d.size() / 512 && bytes <= d.size() - entries * 512)
        le::put32(hdr, 88, static_cast<uint32_t>(crc32(0, d.data() + entries * 512, static_cast<uInt>(bytes))));
    const uint32_t size = le::u32(hdr, 12);
    if (size < 92 || size > 512) return;
    le::put32(hdr, 16, 0);
    le::put32(hdr, 16, static_cast<uint32_t>(crc32(0, hdr.data(), size)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog();
    static fuzz::MemoryPlatform platform(kDiskPath);
    SetPlatform(&platform);

    fuzz::Image img = fuzz::SplitImage(data, size, kMinDiskBytes, kMaxDiskBytes);
    if (size > 0 && (data[size - 1] & 1)) {
        FixGptCrcs(*img.bytes, 1);
        FixGptCrcs(*img.bytes, img.bytes->size() / 512 - 1);
    }
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
            if (!(disk.GetState() & DISKSTATE_BAD_DPT) &&
                (disk.GetParStyle() == PARSTYLE_MBR || disk.GetParStyle() == PARSTYLE_GPT)) {
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
