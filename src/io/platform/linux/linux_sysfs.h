// The machine's disks and mounted volumes as Linux shows them in /sys and
// /proc/self/mountinfo. The roots are parameters so tests can build a small
// fake tree.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "io/platform/platform.h"

namespace linuxsys {

struct Roots {
    std::string sys = "/sys";
    std::string udevData = "/run/udev/data";
};

// Whether a /sys/block name is a disk of the list: sd*, nvme*n*, mmcblk*, vd*,
// hd*, xvd*; never loop, ram, zram, dm, md, optical drives nor the boot and
// RPMB areas of eMMC chips.
bool IsListedDiskName(const std::string& name);
// Name order: sda < sdb < sdz < sdaa, nvme2n1 < nvme10n1; families by prefix.
bool DiskNameLess(const std::string& a, const std::string& b);

// The machine's disks in name order, Index from 0. Disks without a medium
// (size 0) and hidden ones are left out.
std::vector<PlatformDiskInfo> ListMachineDisks(const Roots& roots);

struct MountEntry {
    unsigned major = 0, minor = 0;
    std::string root;        // the folder of the file system that is mounted
    std::string mountPoint;  // unescaped
    std::string fsType;
    std::string source;      // unescaped
};

// The lines of a mountinfo text; malformed lines are skipped.
std::vector<MountEntry> ParseMountInfo(const std::string& text);

struct BlockDev {
    std::string name;    // kernel name, e.g. sdb1
    std::string parent;  // its disk, e.g. sdb (itself for a whole disk)
    uint64_t start = 0;  // 512-byte sectors on the parent
    uint64_t size = 0;   // 512-byte sectors
};

// The block device behind a mount: its device number, or for file systems
// that report an anonymous number, the device node of its source. False when
// the mount is not on a block device.
bool ResolveBlockDev(const MountEntry& m, const Roots& roots, BlockDev& out);

// Every mounted block device once (its mount of the file system's root
// preferred, else its first mount), on a disk of `disks`; the others are left out.
std::vector<PlatformVolume> ListVolumes(const std::vector<MountEntry>& mounts,
                                        const std::vector<PlatformDiskInfo>& disks, const Roots& roots);

// The device node of the block device mounted at "/", or empty.
std::string SystemVolume(const std::vector<MountEntry>& mounts, const Roots& roots);

}  // namespace linuxsys
