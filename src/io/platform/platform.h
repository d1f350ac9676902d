// The platform's disk services: the only way the logic reaches devices,
// volumes and the machine's disk list. One backend per platform (Linux block
// devices and image files live in platform/linux); tests install their own.
#pragma once

#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// An open disk, volume or image file. Transfers are positional, so no seek
// state is shared between calls.
class IDeviceHandle {
public:
    virtual ~IDeviceHandle() = default;
    // Reads up to `len` bytes at byte offset `off`. Returns the bytes read
    // (fewer at the end of the device), or -1 with a platform error code in *err.
    virtual int64_t ReadAt(uint64_t off, void* buf, size_t len, int* err) = 0;
    // Writes `len` bytes at `off`; same results as ReadAt.
    virtual int64_t WriteAt(uint64_t off, const void* buf, size_t len, int* err) = 0;
    virtual bool IsReadOnly() const = 0;
    // Tells the system that [off, off + len) will be read once, front to
    // back (read-ahead may grow). A hint only; handles may ignore it.
    virtual void AdviseSequential(uint64_t off, uint64_t len) { (void)off; (void)len; }

    // Sector reads through this handle that failed, as the sector
    // primitives count them: how a failing drive shows itself during a scan.
    struct ReadTally {
        std::atomic<uint64_t> failed{0};        // in all
        std::atomic<uint32_t> failedInARow{0};  // since the last read that succeeded
        std::atomic<uint32_t> mostInARow{0};    // the longest such run
    };
    ReadTally& Tally() { return m_tally; }

private:
    ReadTally m_tally;
};

using DevHandle = std::unique_ptr<IDeviceHandle>;

struct DiskGeometry {
    uint64_t Cylinders = 0;
    uint32_t TracksPerCylinder = 0;
    uint32_t SectorsPerTrack = 0;
    uint32_t BytesPerSector = 0;
    uint64_t DiskSize = 0;  // bytes
};

// One entry of the legacy drive layout: the four primary slots first (empty
// ones with type 0), then per extended boot record its logical partition and
// its link to the next record.
struct LayoutEntry {
    uint64_t StartingOffset = 0;   // bytes from the start of the disk
    uint64_t PartitionLength = 0;  // bytes
    uint32_t HiddenSectors = 0;    // for a logical partition: its offset from its own boot record
    uint32_t PartitionNumber = 0;  // 1..4 primaries by slot, 5.. logical partitions
    uint8_t PartitionType = 0;
    bool BootIndicator = false;
};

enum class PartitionStyle { Mbr = 0, Gpt = 1, Raw = 2 };

// One partition of the extended layout. An MBR disk fills only MbrType;
// a GPT disk fills everything else.
struct LayoutExEntry {
    uint8_t MbrType = 0;
    std::array<uint8_t, 16> GptType{};  // on-disk byte order
    std::array<uint8_t, 16> GptId{};    // the partition's own GUID, on-disk byte order
    uint64_t StartingOffset = 0;        // bytes from the start of the disk
    uint64_t PartitionLength = 0;       // bytes
    uint32_t PartitionNumber = 0;       // entry slot + 1, as the kernel numbers GPT partitions
    uint64_t Attributes = 0;
    std::u16string Name;                // up to 36 UTF-16 units, without the padding
};

struct DriveLayoutEx {
    PartitionStyle Style = PartitionStyle::Raw;
    std::vector<LayoutExEntry> Entries;
    // GPT only: false when a GPT header was found but neither the primary nor
    // the backup copy holds together (Entries is then empty); FromBackup when
    // the primary copy was damaged and the backup was used.
    bool Readable = true;
    bool FromBackup = false;
};

constexpr size_t kMaxLayoutEntries = 51;

// One disk of the machine's disk list.
struct PlatformDiskInfo {
    uint32_t TotalHeads = 255;
    std::string DeviceID;       // /dev/NAME or the image path: what Open accepts
    uint32_t Index = 0;         // position in the list
    std::string InterfaceType;  // "USB", "SCSI", "ATA", "NVMe", "SD", "Image"
    std::string MediaType;      // "Removable Media" or "Fixed hard disk media"
    std::string Model;
    std::string SerialNumber;
};

// One mounted volume with its first disk extent.
struct PlatformVolume {
    std::string VolumeName;  // device node, e.g. /dev/sdb1
    std::string MountPath;   // first mount point, e.g. /media/card
    uint64_t StartingOffset = 0;  // bytes on its disk
    uint64_t ExtentLength = 0;    // bytes
    uint32_t DiskNumber = 0;      // Index of its disk in the disk list
};

class IPlatform {
public:
    virtual ~IPlatform() = default;
    // Opens a disk, volume or image file, existing objects only. Null with
    // *err set on failure.
    virtual DevHandle Open(const std::string& path, bool readOnly, int* err) = 0;
    // 0 or -1 (with *err).
    virtual int GetGeometry(IDeviceHandle* h, DiskGeometry& g, int* err) = 0;
    virtual int GetDriveLayout(IDeviceHandle* h, std::vector<LayoutEntry>& out, int* err) = 0;
    virtual int GetDriveLayoutEx(IDeviceHandle* h, DriveLayoutEx& out, int* err) = 0;
    // The disks in list order (Index = position). Returns their number.
    virtual int EnumDisks(std::vector<PlatformDiskInfo>& out) = 0;
    // The mounted volumes. Returns their number.
    virtual int EnumVolumes(std::vector<PlatformVolume>& out) = 0;
    // 0 and the label, or -1.
    virtual int GetVolumeLabel(const std::string& volumeName, std::string& label) = 0;
    // The label of the file system found at `offset` (bytes) of a disk or
    // image, read without mounting it: 0 and the label, or -1.
    virtual int ProbeLabelAt(const std::string& /*diskPath*/, uint64_t /*offset*/, uint64_t /*size*/,
                             std::string& /*label*/) {
        return -1;
    }
    // Free bytes of the file system holding `path`: 0, or -1 with *err.
    virtual int GetFreeBytes(const std::string& path, uint64_t& freeBytes, int* err) = 0;
    // The device node of the volume mounted at "/", or empty.
    virtual std::string GetSystemVolume() = 0;
    virtual bool PathExists(const std::string& path) = 0;
    // Text of a platform error code.
    virtual std::string ErrorText(int err) = 0;

    // Takes a descriptor that another party opened for `path` (a system
    // service that may open disks this user may not) as the way to that disk.
    // The platform keeps a close-on-exec duplicate; the caller keeps and
    // closes its own. From then on Open(path, true) gives handles over
    // further duplicates, and Open(path, false) is refused with EACCES: such a
    // disk is only ever read. Only descriptors open for reading alone, of a
    // block device or a regular file, are taken. 0, or -1 with *err.
    virtual int AdoptReadOnlyDescriptor(const std::string& /*path*/, int /*fd*/, int* err) {
        if (err) *err = ENOSYS;
        return -1;
    }
    // Forgets the descriptor taken for `path`; handles already given out
    // stay open. Nothing happens when there is none.
    virtual void ReleaseAdoptedDescriptor(const std::string& /*path*/) {}
    virtual bool HasAdoptedDescriptor(const std::string& /*path*/) { return false; }
};

// The process-wide backend (the Linux one unless a test installed another).
IPlatform& Platform();
// Installs a backend for tests; null restores the default. Not owned.
void SetPlatform(IPlatform* platform);

// Which disks the disk list holds: the machine's own disks (unless left out)
// followed by the image files in the order given. An image file stands for a
// physical disk whose DeviceID is the image path. The command line lists
// exactly the images it is given; the wizard adds them to the machine's disks.
// Defaults: the machine's disks, no images.
void SetDiskSources(bool includeMachineDisks, std::vector<std::string> imageFiles);
// Appends one image file; a path already listed is not added twice.
void AddImageFile(const std::string& path);
bool IncludeMachineDisks();
std::vector<std::string> ImageFiles();

// Geometry answered for an image file (or a memory disk) of `bytes` bytes:
// 512 bytes per sector, 255 heads, 63 sectors per track, whole cylinders.
void ImageGeometry(uint64_t bytes, DiskGeometry& g);
