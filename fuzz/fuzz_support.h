// What every fuzz target shares: the fuzzed bytes turned into a memory disk,
// a sink that answers like the wizard's, checks on what a walk stored, and a
// platform that serves memory disks only.
//
// Input layout of the image targets: the whole 512-byte sectors of the input
// are the image (zero-padded up to the target's minimum size); the bytes left
// after the last whole sector are controls:
//   bytes 0-1  a sector that cannot be read (u16, little-endian)
//   bytes 2-3  the sink answers "stop" from this notification on (u16, 0: never)
// so a plain image file is a valid input with every sector readable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "io/disk.h"
#include "io/platform/memory_handle.h"
#include "io/platform/platform.h"
#include "volphotorev/operation.h"
#include "volphotorev/photoitems.h"

namespace fuzz {

// Sends the log to /dev/null with every level on, so each message is
// formatted with the values the fuzzed bytes produced. Once per process.
void QuietLog();

// Stops the process the way a sanitizer finding does, so libFuzzer keeps the
// input: for results that are wrong without being a memory error.
[[noreturn]] void Fail(const char* what);
#define FUZZ_CHECK(cond)                                       \
    do {                                                       \
        if (!(cond)) ::fuzz::Fail("check failed: " #cond);     \
    } while (0)

struct Image {
    std::shared_ptr<std::vector<uint8_t>> bytes;  // whole sectors
    std::set<uint64_t> badSectors;
    uint32_t stopAt = 0;  // notification number answered with -1, 0: none

    uint64_t Sectors() const { return bytes->size() / 512; }
};

// Splits an input as described above. The image has at least `minBytes`
// bytes (a multiple of 512) and at most `maxBytes` of the input's bytes.
Image SplitImage(const uint8_t* data, size_t size, size_t minBytes = 512, size_t maxBytes = 64u << 20);

// A disk over a memory handle, with one partition of `sectors` sectors from
// `off`, as the scan sees a partition of a real disk.
struct MemoryPartition {
    MemoryPartition(const Image& image, uint64_t off, uint64_t sectors);
    CDisk disk;
    CPartition part{&disk};
    CMemoryHandle* handle = nullptr;  // owned by the disk
};

// Answers 0 until its stop notification, then -1 to everything; reads every
// payload the events carry, so a dangling or unterminated one is caught.
class Sink : public IEventSink {
public:
    explicit Sink(uint32_t stopAt = 0) : m_stopAt(stopAt) {}
    int Notify(uint32_t code, int32_t value, void* data, uint32_t reserved) override;
    uint64_t Notifications() const { return m_count; }

private:
    uint32_t m_stopAt;
    uint64_t m_count = 0;
};

// Checks every stored item: a run list ended by its count-0 entry, runs
// that follow each other within the photo and lie inside the partition of
// `partitionSectors` sectors, a name, a category in range. `holesAllowed`:
// runs may have no place on disk (NTFS sparse files).
void CheckItems(CPhotoItemsMgr& store, bool holesAllowed, uint64_t partitionSectors);

// The partition a volume image stands in: as long as the boot sector says
// (`claimed` sectors), capped at 2^16 sectors, and never shorter than the
// image itself. The image ends before the partition when the claim is
// larger, as on a truncated disk image. (The cap keeps tables sized from a
// fuzzed boot sector, which may fill half the partition, small enough for
// thousands of runs a second.)
uint64_t PartitionSectors(const Image& image, uint64_t claimed);

// A platform that opens memory disks only, lists one disk, no volumes, and
// reads drive layouts from the disk's own bytes: the whole partition-table
// path without touching the machine.
class MemoryPlatform : public IPlatform {
public:
    explicit MemoryPlatform(std::string diskPath) : m_path(std::move(diskPath)) {}
    DevHandle Open(const std::string& path, bool readOnly, int* err) override;
    int GetGeometry(IDeviceHandle* h, DiskGeometry& g, int* err) override;
    int GetDriveLayout(IDeviceHandle* h, std::vector<LayoutEntry>& out, int* err) override;
    int GetDriveLayoutEx(IDeviceHandle* h, DriveLayoutEx& out, int* err) override;
    int EnumDisks(std::vector<PlatformDiskInfo>& out) override;
    int EnumVolumes(std::vector<PlatformVolume>& out) override;
    int GetVolumeLabel(const std::string& volumeName, std::string& label) override;
    int GetFreeBytes(const std::string& path, uint64_t& freeBytes, int* err) override;
    std::string GetSystemVolume() override { return {}; }
    bool PathExists(const std::string& path) override { return IsMemoryDisk(path); }
    std::string ErrorText(int err) override;

private:
    std::string m_path;
};

}  // namespace fuzz
