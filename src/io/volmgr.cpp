#include "io/volmgr.h"

#include "io/deviceio.h"
#include "io/disk.h"
#include "io/log.h"
#include "io/partition.h"

CVolMgr& CVolMgr::Instance() {
    static CVolMgr table;
    static const bool enumerated = (table.EnumVols(), true);
    (void)enumerated;
    return table;
}

int CVolMgr::EnumVols() {
    std::vector<PlatformVolume> vols;
    int n = Platform().EnumVolumes(vols);
    m_entries.clear();
    if (n < 0) {
        m_enumerated.clear();
        LOG_E("FindFirstVolume failed: %d \n", n);
        return 0;
    }
    m_enumerated = std::move(vols);
    for (size_t i = 0; i < m_enumerated.size(); ++i) {
        const std::string& name = m_enumerated[i].VolumeName;
        if (m_entries.size() == kMaxVolumes) {
            LOG_E("Volume table full: %zu volumes listed, %zu kept, %s and later ones ignored.\n",
                  m_enumerated.size(), kMaxVolumes, name.c_str());
            break;
        }
        VolEntry entry;
        if (GetVolInfor(entry, name) != 0) {
            LOG_E("GetVolInfor: %s failed.\n", name.c_str());
            continue;
        }
        GetVolumeMountPath(name, entry.MountPath);
        m_entries.push_back(std::move(entry));
        LOG_T("GetVolInfor: %s \n", name.c_str());
    }
    return static_cast<int>(m_entries.size());
}

VolEntry CVolMgr::FindVolume(uint64_t off, uint64_t len, int diskNo) const {
    if (diskNo < 0) return {};
    for (const VolEntry& e : m_entries)
        if (e.Off == off && e.Len == len && e.DiskNo == static_cast<uint32_t>(diskNo)) return e;
    return {};
}

int CVolMgr::GetVolInfor(VolEntry& entry, const std::string& name) const {
    if (name.empty()) return -1;
    for (const PlatformVolume& v : m_enumerated) {
        if (v.VolumeName != name) continue;
        // Only the first extent counts; the table speaks 512-byte sectors.
        entry.Off = v.StartingOffset / SECTOR_SIZE;
        entry.Len = v.ExtentLength / SECTOR_SIZE;
        entry.DiskNo = v.DiskNumber;
        entry.VolumeName = v.VolumeName;
        return 0;
    }
    return -1;
}

void CVolMgr::GetVolumeMountPath(const std::string& name, std::string& dest) const {
    for (const PlatformVolume& v : m_enumerated) {
        if (v.VolumeName != name) continue;
        if (!v.MountPath.empty()) dest = v.MountPath;
        return;
    }
}

const VolEntry* CVolMgr::GetEntry(int index) const {
    if (index < 0 || static_cast<size_t>(index) >= m_entries.size()) return nullptr;
    return &m_entries[static_cast<size_t>(index)];
}

uint64_t Win_GetVolumeFreeSectors(const std::string& mountPath) {
    uint64_t freeBytes = 0;
    int err = 0;
    if (Platform().GetFreeBytes(mountPath, freeBytes, &err) != 0) {
        LOG_E("GetDiskFreeSpaceEx: %s failed: %d.\n", mountPath.c_str(), err);
        return 0;
    }
    return freeBytes / SECTOR_SIZE;
}

void CVolMgr::InitFromInfor(CPartition* partition, CDisk* disk, const ParInfor& infor) {
    if (!partition) return;
    partition->SetInfor(infor);
    partition->SetDisk(disk);
    if (infor.Type == PAR_EXTENDED) return;  // a container has no volume of its own

    int diskNo = disk ? disk->GetDiskNo() : -1;
    VolEntry vol = Instance().FindVolume(infor.Off, infor.Len, diskNo);
    partition->SetVolumeName(vol.VolumeName);
    partition->SetDriveRoot(vol.MountPath);

    partition->SetDevName((disk ? disk->GetDevName() : std::string()) + std::to_string(infor.PartNo));

    if (vol.MountPath.empty()) {
        partition->SetFreeSec(0);
        // A card that is not mounted (or will not mount) still shows its label,
        // a card formatted without a table too; a gap between partitions has
        // none, even where an old file system's remains lie in it.
        std::string label;
        if (disk && (infor.PartNo != 0 || infor.Fs != FS_UNALLOCATED) &&
            Platform().ProbeLabelAt(disk->GetDevicePath(), infor.Off * 512, infor.Len * 512, label) == 0)
            partition->SetVolLabel(label);
        return;
    }
    partition->SetFreeSec(Win_GetVolumeFreeSectors(vol.MountPath));
    std::string label;
    if (Platform().GetVolumeLabel(vol.VolumeName, label) == 0) partition->SetVolLabel(label);
}
