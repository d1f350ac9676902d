// The disk manager: the machine's disks (or the image files standing for
// them), each opened, measured and kept for the life of the process.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "io/disk.h"

// One disk of the platform's disk list.
struct WmiDiskInfor {
    uint32_t TotalHeads = 0;
    std::string DeviceID;       // path that DeviceOpen accepts: /dev/sdb or an image file
    uint32_t Index = 0;         // disk number
    std::string InterfaceType;  // "USB", "SCSI", "ATA", "NVMe", "SD", "Image"
    std::string MediaType;
    std::string Model;
    std::string SerialNumber;
};

// Fills `records` from the platform's disk list, in its order, at most
// CDiskMgr::kMaxDisks of them. Returns the number of records, 0 on failure.
int Win_EnumAllDisksInfoByWMI(std::vector<WmiDiskInfor>& records);

class CDiskMgr {
public:
    static constexpr int kMaxDisks = 20;

    // The process-wide disk manager; the first call loads every disk, and
    // the disks are released at process exit.
    static CDiskMgr& Instance();

    ~CDiskMgr() { ReleaseAllDisk(); }

    // Appends the platform's disks (up to kMaxDisks in all) and loads their
    // partition lists. Disks that cannot be opened or measured are left out.
    void LoadAllDisk();
    // Destroys every disk with its handle and partitions; earlier CDisk and
    // CPartition pointers are invalid afterwards.
    void ReleaseAllDisk();
    // Opens an image file as one more disk and lists it among the disk
    // sources, so that later loads open it again. Its index, or -1 when the
    // file cannot be opened or measured or the list is full. An image already
    // loaded gives its present index.
    int AddImage(const std::string& path);
    // Why the last AddImage refused its file, for a person to read after
    // "cannot open PATH: " ("permission denied", "no such file or
    // directory", a file smaller than a sector); empty after a success.
    const std::string& GetLastImageError() const { return m_lastImageError; }
    // Disks the loads since the last ReleaseAllDisk left out because opening
    // them was refused for lack of permission.
    int GetDeniedDiskCount() const { return m_deniedDisks; }
    // Every disk of the platform's list those loads left out, with the
    // system's error number (0 when it opened but could not be measured).
    struct UnopenedDisk {
        std::string path;
        int err = 0;
    };
    const std::vector<UnopenedDisk>& GetUnopenedDisks() const { return m_unopened; }
    int GetDiskCount() const { return static_cast<int>(m_disks.size()); }
    // Null when index is out of range.
    CDisk* GetDiskByIndex(int index);
    // The first disk with that disk number, else null.
    CDisk* GetDiskByNo(int diskNo);

    // Opens, measures and loads one disk outside the list, such as a disk
    // that the wizard reaches through a descriptor a system service opened
    // (Platform().AdoptReadOnlyDescriptor). The caller owns it; null (logged)
    // when it cannot be opened or measured.
    static std::unique_ptr<CDisk> OpenDisk(const WmiDiskInfor& rec);

    // Opens `path` read-only into the disk and fills its geometry, number,
    // DevicePath, DevName and kernel name. 0, or -1 (logged).
    static int LoadDiskInfor(CDisk* disk, const std::string& path, int number);
    // Sets ParStyle from the drive layout; stays 4 when it cannot be read.
    static void DectectParSytle(CDisk* disk);
    // Probes write access by opening the disk read-write; writes nothing.
    // A disk that opens read-only only is kept (and scanned) all the same.
    static void DetectState(CDisk* disk);

private:
    CDiskMgr() = default;
    // Opens, measures and loads one disk of the list; null when it cannot be
    // used (a refusal for lack of permission is counted).
    std::unique_ptr<CDisk> LoadDisk(const WmiDiskInfor& rec);

    std::vector<std::unique_ptr<CDisk>> m_disks;  // at most kMaxDisks
    int m_deniedDisks = 0;
    std::vector<UnopenedDisk> m_unopened;
    std::string m_lastImageError;
};
