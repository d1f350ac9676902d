// The volume table: every mounted volume of the running system with its first
// disk extent, so that a partition can learn its device node, mount point,
// label and free space.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "io/platform/platform.h"

class CDisk;
class CPartition;
struct ParInfor;

struct VolEntry {
    std::string VolumeName;  // device node as enumerated, e.g. /dev/sdb1
    std::string MountPath;   // first mount point, empty if none
    uint64_t Off = 0;        // first 512-byte sector of the first extent
    uint64_t Len = 0;        // that extent's length in 512-byte sectors
    uint32_t DiskNo = 0;     // disk number of that extent
};

class CVolMgr {
public:
    static constexpr size_t kMaxVolumes = 50;

    // The process-wide table; the first call enumerates it.
    static CVolMgr& Instance();

    // Refills the table from the platform's volume list. Returns the number of
    // entries (at most kMaxVolumes; further volumes are logged and ignored).
    int EnumVols();
    // The first entry with exactly this extent on this disk, else an empty one.
    VolEntry FindVolume(uint64_t off, uint64_t len, int diskNo) const;
    // Fills `entry` for the volume `name` from the last enumeration: 0 or -1.
    int GetVolInfor(VolEntry& entry, const std::string& name) const;
    // Writes the volume's first mount path into `dest`; leaves it unchanged
    // when the volume is unknown or not mounted.
    void GetVolumeMountPath(const std::string& name, std::string& dest) const;

    int GetCount() const { return static_cast<int>(m_entries.size()); }
    const VolEntry* GetEntry(int index) const;

    // Stores the record and the disk in the partition and ties it to its
    // volume: VolumeName, DriveRoot (mount point), DevName, FreeSec, VolLabel.
    // An extended container gets the record only.
    static void InitFromInfor(CPartition* partition, CDisk* disk, const ParInfor& infor);

private:
    std::vector<VolEntry> m_entries;             // at most kMaxVolumes
    std::vector<PlatformVolume> m_enumerated;    // the platform's answer behind the table
};

// Free space of the file system holding `mountPath`, in 512-byte sectors (the
// total free bytes, not the caller's quota); 0 on failure.
uint64_t Win_GetVolumeFreeSectors(const std::string& mountPath);
