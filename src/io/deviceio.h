// 512-byte sector transfers over an open device, and sector devices.
#pragma once

#include <cstdint>
#include <string>

#include "io/platform/platform.h"

constexpr uint32_t SECTOR_SIZE = 512;

class CDisk;

// Open read-write, falling back to read-only when write access is refused.
DevHandle DeviceOpen(const std::string& path);
DevHandle DeviceOpenReadOnly(const std::string& path);
// Whole sectors read (bytes / 512), 0 on failure.
int DeviceReadSectorsEx(IDeviceHandle* h, uint64_t lba, uint64_t count, void* buffer);
// Always answers `count`: failing requests are retried in up to ten pieces
// down to single sectors; unreadable sectors read as zeros.
int DeviceReadSectorsTolerant(IDeviceHandle* h, uint64_t lba, uint64_t count, void* buffer);
// Whole sectors written, 0 on failure.
int DeviceWriteSectors(IDeviceHandle* h, uint64_t lba, uint64_t count, const void* buffer);
// 0 when exactly `count` sectors were written, else -1.
int Tool_WriteDiskSectors(const void* buffer, const std::string& path, uint64_t lba, uint64_t count);

class IDevice {
public:
    virtual ~IDevice() = default;
    virtual int Open(const std::string& path) = 0;  // 0 or -1
    virtual void Close() = 0;
    // Sectors read into `buffer`, which holds count * 512 bytes.
    virtual uint64_t ReadSectors(uint64_t lba, uint64_t count, void* buffer) = 0;
    virtual uint64_t WriteSectors(uint64_t lba, uint64_t count, const void* buffer) = 0;
};

// A partition as a device: sector 0 is the partition's first sector. Reads go
// through the disk's open handle; nothing is checked against the partition's end.
class CVolDevice : public IDevice {
public:
    CVolDevice(CDisk* disk, uint64_t baseLba) : m_disk(disk), m_base(baseLba) {}
    // Over a bare handle (not owned) instead of a disk's: for readers that
    // have no disk object, such as tests and fuzzers over a memory disk.
    CVolDevice(IDeviceHandle* handle, uint64_t baseLba) : m_handle(handle), m_base(baseLba) {}
    int Open(const std::string&) override { return 0; }
    void Close() override {}
    uint64_t ReadSectors(uint64_t lba, uint64_t count, void* buffer) override;
    uint64_t WriteSectors(uint64_t lba, uint64_t count, const void* buffer) override;
    uint64_t GetBase() const { return m_base; }

private:
    IDeviceHandle* Handle();

    CDisk* m_disk = nullptr;            // not owned
    IDeviceHandle* m_handle = nullptr;  // not owned; used when there is no disk
    uint64_t m_base;                    // partition's first sector on the disk
};

// A device over a path with a handle of its own, no base offset.
class CLogicalStorageDevice : public IDevice {
public:
    int Open(const std::string& path) override;
    void Close() override;
    uint64_t ReadSectors(uint64_t lba, uint64_t count, void* buffer) override;
    uint64_t WriteSectors(uint64_t lba, uint64_t count, const void* buffer) override;

private:
    std::string m_path;
    DevHandle m_handle;
};
