// Linux: device numbers of paths and block devices; the effective user; the terminal.
#include <cstdio>
#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "io/platform/frontend_checks.h"

namespace {

std::string DevNumber(dev_t d) { return std::to_string(major(d)) + ":" + std::to_string(minor(d)); }

// The device number of the disk a partition belongs to, as sysfs tells it.
std::string ParentDisk(dev_t partition) {
    std::ifstream f("/sys/dev/block/" + DevNumber(partition) + "/../dev");
    std::string text;
    std::getline(f, text);
    return text;
}

}  // namespace

int PathIsOnDevice(const std::string& path, const std::string& device, bool orItsPartitions) {
    struct stat where {};
    if (stat(path.c_str(), &where) != 0) return -1;
    struct stat dev {};
    if (stat(device.c_str(), &dev) != 0 || !S_ISBLK(dev.st_mode)) return 0;
    if (where.st_dev == dev.st_rdev) return 1;
    if (orItsPartitions && ParentDisk(where.st_dev) == DevNumber(dev.st_rdev)) return 1;
    return 0;
}

bool HasDiskRights() { return geteuid() == 0; }

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }
