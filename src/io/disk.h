// A physical disk (or a disk image standing for one) and its partitions.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "io/partition.h"
#include "io/platform/platform.h"

// CDisk::state bits.
enum DiskState : int32_t { DISKSTATE_BAD_DPT = 1 };

// CDisk::ParStyle.
enum ParStyleCode : int32_t {
    PARSTYLE_MBR = 0,
    PARSTYLE_MBR_DYNAMIC = 1,
    PARSTYLE_GPT = 2,
    PARSTYLE_GPT_DYNAMIC = 3,
    PARSTYLE_RAW = 4,
};

class IDisk {
public:
    virtual ~IDisk() = default;
    virtual int LoadPartition() = 0;  // partition count, loading the list on first call
    virtual CPartition* GetPartition(int index) = 0;     // null when index >= count
    virtual CPartition* FindPartition(int number) = 0;   // first entry with that PartNo
    virtual std::string GetDevicePath() = 0;
    virtual std::string GetDevName() = 0;
    virtual std::string GetSerialNumber() = 0;
    virtual std::string GetInterfaceType() = 0;
    virtual std::string GetModel() = 0;
    virtual std::string GetMediaType() = 0;
    virtual int GetDiskNo() = 0;
    virtual uint64_t GetTotalSectors() = 0;
    virtual int GetHeads() = 0;
    virtual int GetSectorsPerTrack() = 0;
    virtual uint64_t GetCylinders() = 0;
    virtual int GetBytesPerSector() = 0;
    virtual int GetParStyle() = 0;
    virtual int GetState() = 0;
    virtual int IsBasicMbr() = 0;
};

class CDisk : public IDisk {
public:
    CDisk() = default;
    ~CDisk() override = default;
    CDisk(const CDisk&) = delete;
    CDisk& operator=(const CDisk&) = delete;

    int LoadPartition() override;
    CPartition* GetPartition(int index) override;
    CPartition* FindPartition(int number) override;
    std::string GetDevicePath() override { return m_devicePath; }
    std::string GetDevName() override { return m_devName; }
    std::string GetSerialNumber() override { return m_serialNumber; }
    std::string GetInterfaceType() override { return m_interfaceType; }
    std::string GetModel() override { return m_model; }
    std::string GetMediaType() override { return m_mediaType; }
    int GetDiskNo() override { return m_diskNo; }
    uint64_t GetTotalSectors() override { return m_totalSectors; }
    int GetHeads() override { return static_cast<int>(m_heads); }
    int GetSectorsPerTrack() override { return static_cast<int>(m_sectorsPerTrack); }
    uint64_t GetCylinders() override { return m_cylinders; }
    int GetBytesPerSector() override { return static_cast<int>(m_bytesPerSector); }
    int GetParStyle() override { return m_parStyle; }
    int GetState() override { return m_state; }
    int IsBasicMbr() override { return (m_parStyle == PARSTYLE_MBR && !(m_state & DISKSTATE_BAD_DPT)) ? 1 : 0; }

    // The open handle all reads of this disk go through (read-only unless the
    // disk was opened for writing); null before LoadDiskInfor.
    IDeviceHandle* GetHandle() { return m_handle.get(); }
    int GetPartitionCount() const { return static_cast<int>(m_partitions.size()); }
    // The kernel's name of the disk ("sdb") or the image file's name.
    std::string GetKernelName() const { return m_kernelName; }

    // Filled by the disk manager.
    int32_t m_diskNo = -1;
    uint32_t m_heads = 0;
    uint32_t m_sectorsPerTrack = 0;
    uint64_t m_cylinders = 0;
    uint32_t m_bytesPerSector = 0;
    uint64_t m_totalSectors = 0;
    std::string m_devicePath;
    std::string m_devName;
    std::string m_model;
    std::string m_mediaType;
    std::string m_interfaceType;
    std::string m_serialNumber;
    std::string m_kernelName;
    int32_t m_state = 0;
    int32_t m_parStyle = PARSTYLE_RAW;
    DevHandle m_handle;
    std::vector<std::unique_ptr<CPartition>> m_partitions;
};
