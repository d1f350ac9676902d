// Linux: device numbers of paths and block devices; image files and folders
// as the user may use them; the effective user; the terminal.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
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

std::string ErrorReason(int err) {
    std::string text = std::strerror(err);
    // "Permission denied" reads "permission denied" after a colon; an
    // acronym at the start ("RPC struct is bad") keeps its case.
    if (text.size() > 1 && std::isupper(static_cast<unsigned char>(text[0])) &&
        std::islower(static_cast<unsigned char>(text[1])))
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

int CheckImageFile(const std::string& path, std::string& reason) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        reason = ErrorReason(errno);
        return -1;
    }
    struct stat st {};
    const int statResult = fstat(fd, &st);
    const int statErr = errno;
    close(fd);
    if (statResult != 0) {
        reason = ErrorReason(statErr);
        return -1;
    }
    if (S_ISDIR(st.st_mode)) {
        reason = ErrorReason(EISDIR);
        return -1;
    }
    if (S_ISREG(st.st_mode) && st.st_size < kImageSectorBytes) {
        reason = TooSmallForADisk(static_cast<unsigned long long>(st.st_size));
        return -1;
    }
    return 0;
}

int CheckFolderWritable(const std::string& path, std::string& reason) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        reason = ErrorReason(errno);
        return -1;
    }
    if (!S_ISDIR(st.st_mode)) {
        reason = ErrorReason(ENOTDIR);
        return -1;
    }
    // The effective user decides, as it does when the files are made; a
    // read-only mount refuses even root.
    if (faccessat(AT_FDCWD, path.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        reason = ErrorReason(errno);
        return -1;
    }
    return 0;
}
