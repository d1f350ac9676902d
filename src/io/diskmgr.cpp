#include "io/diskmgr.h"

#include <algorithm>
#include <array>
#include <cerrno>

#include "io/deviceio.h"
#include "io/log.h"
#include "io/platform/frontend_checks.h"

namespace {

// "a".."z", then "aa", "ab"... as the kernel names its disks.
std::string DiskLetters(int number) {
    if (number < 0) return "?";
    std::string s;
    unsigned n = static_cast<unsigned>(number);
    do {
        s.insert(s.begin(), static_cast<char>('a' + n % 26));
        n /= 26;
    } while (n-- > 0);
    return s;
}

std::string BaseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

int Win_EnumAllDisksInfoByWMI(std::vector<WmiDiskInfor>& records) {
    records.clear();
    std::vector<PlatformDiskInfo> disks;
    int n = Platform().EnumDisks(disks);
    if (n <= 0) return 0;
    for (const PlatformDiskInfo& d : disks) {
        if (records.size() == static_cast<size_t>(CDiskMgr::kMaxDisks)) {
            LOG_W("%zu disks listed, only the first %d are used.\n", disks.size(), CDiskMgr::kMaxDisks);
            break;
        }
        WmiDiskInfor r;
        r.TotalHeads = d.TotalHeads;
        r.DeviceID = d.DeviceID;
        r.Index = d.Index;
        r.InterfaceType = d.InterfaceType;
        r.MediaType = d.MediaType;
        r.Model = d.Model;
        r.SerialNumber = d.SerialNumber;
        records.push_back(std::move(r));
    }
    return static_cast<int>(records.size());
}

CDiskMgr& CDiskMgr::Instance() {
    static CDiskMgr mgr;
    static const bool loaded = (mgr.m_disks.clear(), mgr.LoadAllDisk(), true);
    (void)loaded;
    return mgr;
}

void CDiskMgr::LoadAllDisk() {
    if (m_disks.size() >= static_cast<size_t>(kMaxDisks)) return;
    std::vector<WmiDiskInfor> records;
    if (Win_EnumAllDisksInfoByWMI(records) < 1) return;

    for (const WmiDiskInfor& rec : records) {
        std::unique_ptr<CDisk> disk = LoadDisk(rec);
        if (!disk) continue;
        m_disks.push_back(std::move(disk));
        if (m_disks.size() >= static_cast<size_t>(kMaxDisks)) break;
    }
}

std::unique_ptr<CDisk> CDiskMgr::LoadDisk(const WmiDiskInfor& rec) {
    std::unique_ptr<CDisk> disk = OpenDisk(rec);
    if (!disk) {
        int err = 0;
        if (!Platform().Open(rec.DeviceID, true, &err)) {
            if (err == EACCES || err == EPERM) ++m_deniedDisks;
        } else {
            err = 0;  // it opens, but cannot be measured
        }
        m_unopened.push_back(UnopenedDisk{rec.DeviceID, err});
    }
    return disk;
}

std::unique_ptr<CDisk> CDiskMgr::OpenDisk(const WmiDiskInfor& rec) {
    auto disk = std::make_unique<CDisk>();
    if (LoadDiskInfor(disk.get(), rec.DeviceID, static_cast<int>(rec.Index)) != 0) {
        LOG_E("load disk infor failed, disk no: %d \n", static_cast<int>(rec.Index));
        return nullptr;
    }
    disk->m_heads = rec.TotalHeads;
    disk->m_interfaceType = rec.InterfaceType;
    disk->m_serialNumber = rec.SerialNumber;
    disk->m_mediaType = rec.MediaType;
    disk->m_model = rec.Model;
    DectectParSytle(disk.get());
    DetectState(disk.get());
    disk->LoadPartition();
    return disk;
}

void CDiskMgr::ReleaseAllDisk() {
    m_disks.clear();
    m_deniedDisks = 0;
    m_unopened.clear();
}

int CDiskMgr::AddImage(const std::string& path) {
    m_lastImageError.clear();
    for (size_t i = 0; i < m_disks.size(); ++i)
        if (m_disks[i]->GetDevicePath() == path) return static_cast<int>(i);
    if (m_disks.size() >= static_cast<size_t>(kMaxDisks)) {
        LOG_E("No room for the image %s: %d disks are loaded.\n", path.c_str(), kMaxDisks);
        m_lastImageError = "no more than " + std::to_string(kMaxDisks) + " disks can be open at once";
        return -1;
    }
    // What a person can act on: the system's refusal, or a file too small
    // to hold even one sector (an empty or a text file).
    {
        int err = 0;
        DevHandle h = Platform().Open(path, true, &err);
        if (!h) {
            m_lastImageError = ErrorReason(err);
            LOG_E("Cannot open the image %s: %s.\n", path.c_str(), m_lastImageError.c_str());
            return -1;
        }
        DiskGeometry g;
        if (Platform().GetGeometry(h.get(), g, &err) == 0 && g.DiskSize < SECTOR_SIZE) {
            m_lastImageError = TooSmallForADisk(g.DiskSize);
            LOG_E("Cannot open the image %s: %s.\n", path.c_str(), m_lastImageError.c_str());
            return -1;
        }
    }

    // Listed first, so that it gets the number the next load gives it.
    const bool machineDisks = IncludeMachineDisks();
    const std::vector<std::string> before = ImageFiles();
    AddImageFile(path);
    std::vector<WmiDiskInfor> records;
    Win_EnumAllDisksInfoByWMI(records);
    std::unique_ptr<CDisk> disk;
    const int denied = m_deniedDisks;  // an image is no disk the user lacks rights to
    const size_t unopened = m_unopened.size();
    for (const WmiDiskInfor& rec : records)
        if (rec.DeviceID == path) disk = LoadDisk(rec);
    m_deniedDisks = denied;
    m_unopened.resize(unopened);
    if (!disk) {
        LOG_E("Cannot open the image %s as a disk.\n", path.c_str());
        m_lastImageError = "it cannot be read as a disk (see the log)";
        SetDiskSources(machineDisks, before);
        return -1;
    }
    m_disks.push_back(std::move(disk));
    return static_cast<int>(m_disks.size()) - 1;
}

CDisk* CDiskMgr::GetDiskByIndex(int index) {
    if (index < 0 || static_cast<size_t>(index) >= m_disks.size()) return nullptr;
    return m_disks[static_cast<size_t>(index)].get();
}

CDisk* CDiskMgr::GetDiskByNo(int diskNo) {
    for (const auto& d : m_disks)
        if (d->GetDiskNo() == diskNo) return d.get();
    return nullptr;
}

int CDiskMgr::LoadDiskInfor(CDisk* disk, const std::string& path, int number) {
    if (!disk) return -1;
    // Nothing the program does writes through this handle, and a read-write
    // open of a block device makes udev re-read its partitions on close.
    DevHandle h = DeviceOpenReadOnly(path);
    if (!h) {
        LOG_E("DeviceOpen %s Failed.\n", path.c_str());
        return -1;
    }
    disk->m_handle = std::move(h);

    DiskGeometry g;
    int err = 0;
    if (Platform().GetGeometry(disk->m_handle.get(), g, &err) != 0) {
        LOG_E("DeviceIoControl(IOCTL_DISK_GET_DRIVE_GEOMETRY_EX) Failed. \n");
        return -1;
    }
    disk->m_heads = g.TracksPerCylinder;
    disk->m_sectorsPerTrack = g.SectorsPerTrack;
    disk->m_cylinders = g.Cylinders;
    disk->m_bytesPerSector = g.BytesPerSector;
    // Counted in 512-byte sectors like all I/O, whatever the disk's sector size.
    disk->m_totalSectors = g.DiskSize / SECTOR_SIZE;

    disk->m_diskNo = number;
    disk->m_devicePath = path;
    disk->m_devName = "/dev/hd" + DiskLetters(number);
    disk->m_kernelName = BaseName(path);
    return 0;
}

void CDiskMgr::DectectParSytle(CDisk* disk) {
    if (!disk) return;
    DevHandle h = DeviceOpenReadOnly(disk->m_devicePath);
    if (!h) {
        LOG_E("DeviceOpen: %s Failed.\n", disk->m_devicePath.c_str());
        return;
    }
    DriveLayoutEx layout;
    int err = 0;
    if (Platform().GetDriveLayoutEx(h.get(), layout, &err) != 0) {
        LOG_E("DeviceIoControl Failed.\n");
        return;
    }
    h.reset();

    // The LDM metadata partition {5808C8AA-7E8F-42E0-85D2-E1E90434CFB3} in
    // on-disk byte order.
    static constexpr std::array<uint8_t, 16> kLdmMetadata = {0xAA, 0xC8, 0x08, 0x58, 0x8F, 0x7E, 0xE0, 0x42,
                                                             0x85, 0xD2, 0xE1, 0xE9, 0x04, 0x34, 0xCF, 0xB3};
    switch (layout.Style) {
    case PartitionStyle::Mbr:
        LOG_T("MBR Disk \n");
        disk->m_parStyle = PARSTYLE_MBR;
        if (std::any_of(layout.Entries.begin(), layout.Entries.end(),
                        [](const LayoutExEntry& e) { return e.MbrType == 0x42; })) {
            LOG_T("MBR Dynamic Disk \n");
            disk->m_parStyle = PARSTYLE_MBR_DYNAMIC;
        }
        break;
    case PartitionStyle::Gpt:
        LOG_T("GPT Disk \n");
        disk->m_parStyle = PARSTYLE_GPT;
        if (std::any_of(layout.Entries.begin(), layout.Entries.end(),
                        [](const LayoutExEntry& e) { return e.GptType == kLdmMetadata; })) {
            LOG_T("GPT Dynamic Disk \n");
            disk->m_parStyle = PARSTYLE_GPT_DYNAMIC;
        }
        break;
    default:
        LOG_T("RAW Disk \n");
        disk->m_parStyle = PARSTYLE_RAW;
        break;
    }
}

void CDiskMgr::DetectState(CDisk* disk) {
    if (!disk) return;
    // Write access is probed by the open alone: writing even the sector just
    // read would put the very data being rescued at risk.
    int err = 0;
    DevHandle h = Platform().Open(disk->m_devicePath, false, &err);
    if (h) return;
    LOG_T("ReadWriteOpenDisk failed. \n");
    h = Platform().Open(disk->m_devicePath, true, &err);
    if (!h) {
        LOG_T("ReadOnlyOpenDisk failed. \n");
        disk->m_state = 0;
        return;
    }
    disk->m_state &= 4;
}
