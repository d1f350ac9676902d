// A partition of a disk and its information record.
#pragma once

#include <cstdint>
#include <string>

class CDisk;

// File-system codes of ParInfor::Fs.
enum FsCode : int32_t {
    FS_FAT12 = 1,
    FS_EXTENDED = 5,
    FS_FAT16 = 6,
    FS_NTFS = 7,
    FS_FAT32 = 11,
    // MBR type 0x07 holds NTFS or exFAT; exFAT, told apart by its boot
    // sector, gets 0x100 above the type.
    FS_EXFAT = 0x107,
    FS_UNALLOCATED = 239,
    FS_UNKNOWN = 255,
    FS_WHOLE_DISK = 4095,
};

// ParInfor::Type.
enum ParType : int32_t { PAR_PRIMARY = 0, PAR_EXTENDED = 1, PAR_LOGICAL = 2 };

// ParInfor::State bits.
enum ParState : int32_t { PARSTATE_ACTIVE = 2, PARSTATE_SYSTEM = 4, PARSTATE_BOOT = 8 };

// Sector numbers and counts are in 512-byte units.
struct ParInfor {
    uint64_t Off = 0;        // first sector on the disk
    uint64_t Len = 0;        // sectors
    uint64_t HiddenSec = 0;  // from the drive layout
    uint64_t FreeSec = 0;    // free sectors of the mounted volume, 0 when not mounted
    int32_t Type = 0;        // ParType
    int32_t Fs = 0;          // FsCode
    int32_t PartNo = 0;      // 0 for unallocated and whole-disk entries
    uint8_t Active = 0;      // 1 for the entry the MBR marks active
    int32_t State = 0;       // ParState bits
    std::string DriveRoot;   // mount point of the volume, empty when not mounted
    std::string VolLabel;    // volume label; disk kind text for whole-disk entries
};

class IPartition {
public:
    virtual ~IPartition() = default;
    virtual CDisk* GetDisk() = 0;
    virtual std::string GetVolumeName() = 0;  // device node of the volume, e.g. /dev/sdb1
    virtual std::string GetDevName() = 0;
    virtual void GetInfor(ParInfor& out) = 0;
    virtual uint64_t GetOff() = 0;
    virtual uint64_t GetLen() = 0;
    virtual uint64_t GetFreeSec() = 0;
    virtual uint64_t GetHiddenSec() = 0;
    virtual int32_t GetType() = 0;
    virtual uint8_t IsActive() = 0;
    virtual int32_t GetFs() = 0;
    virtual int32_t GetPartNo() = 0;
    virtual std::string GetDriveRoot() = 0;
    virtual std::string GetVolLabel() = 0;
    virtual uint8_t IsBoot() = 0;
    virtual uint8_t IsSystem() = 0;
    virtual void SetHiddenSec(uint64_t v) = 0;
    virtual void SetFreeSec(uint64_t v) = 0;
    virtual void SetVolLabel(const std::string& label) = 0;
    virtual void SetActive(uint8_t active) = 0;
    virtual void SetFs(int32_t fs) = 0;
    virtual void SetType(int32_t type) = 0;
    virtual uint64_t SetRange(uint64_t off, uint64_t len) = 0;  // returns len
};

class CPartition : public IPartition {
public:
    explicit CPartition(CDisk* disk = nullptr) : m_disk(disk) {}

    CDisk* GetDisk() override { return m_disk; }
    std::string GetVolumeName() override { return m_volumeName; }
    std::string GetDevName() override { return m_devName; }
    void GetInfor(ParInfor& out) override { out = m_infor; }
    uint64_t GetOff() override { return m_infor.Off; }
    uint64_t GetLen() override { return m_infor.Len; }
    uint64_t GetFreeSec() override { return m_infor.FreeSec; }
    uint64_t GetHiddenSec() override { return m_infor.HiddenSec; }
    int32_t GetType() override { return m_infor.Type; }
    uint8_t IsActive() override { return m_infor.Active; }
    int32_t GetFs() override { return m_infor.Fs; }
    int32_t GetPartNo() override { return m_infor.PartNo; }
    std::string GetDriveRoot() override { return m_infor.DriveRoot; }
    std::string GetVolLabel() override { return m_infor.VolLabel; }
    uint8_t IsBoot() override { return (m_infor.State & PARSTATE_BOOT) ? 1 : 0; }
    uint8_t IsSystem() override { return (m_infor.State & PARSTATE_SYSTEM) ? 1 : 0; }
    void SetHiddenSec(uint64_t v) override { m_infor.HiddenSec = v; }
    void SetFreeSec(uint64_t v) override { m_infor.FreeSec = v; }
    void SetVolLabel(const std::string& label) override { m_infor.VolLabel = label; }
    void SetActive(uint8_t active) override {
        m_infor.Active = active;
        if (active) m_infor.State |= PARSTATE_ACTIVE;
        else m_infor.State &= ~PARSTATE_ACTIVE;
    }
    void SetFs(int32_t fs) override { m_infor.Fs = fs; }
    void SetType(int32_t type) override { m_infor.Type = type; }
    uint64_t SetRange(uint64_t off, uint64_t len) override {
        m_infor.Off = off;
        m_infor.Len = len;
        return len;
    }

    // Filled by the partition-table reader and the volume table.
    void SetInfor(const ParInfor& infor) { m_infor = infor; }
    void SetDisk(CDisk* disk) { m_disk = disk; }
    void SetVolumeName(const std::string& v) { m_volumeName = v; }
    void SetDevName(const std::string& v) { m_devName = v; }
    void SetState(int32_t state) { m_infor.State = state; }
    void SetDriveRoot(const std::string& v) { m_infor.DriveRoot = v; }
    // The kernel's name of the partition ("sdb1", "nvme0n1p2") or, for a
    // partition of an image file, "card.img#1". Empty for gaps and whole disks.
    std::string GetKernelName() const { return m_kernelName; }
    void SetKernelName(const std::string& v) { m_kernelName = v; }

private:
    ParInfor m_infor;
    std::string m_volumeName;
    std::string m_devName;  // disk's DevName + PartNo
    std::string m_kernelName;
    CDisk* m_disk = nullptr;  // not owned
};
