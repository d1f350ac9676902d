// Linux backend: block devices and image files.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "io/platform/platform.h"

namespace {

class CFdHandle : public IDeviceHandle {
public:
    CFdHandle(int fd, bool readOnly) : m_fd(fd), m_readOnly(readOnly) {}
    ~CFdHandle() override { if (m_fd >= 0) close(m_fd); }

    int64_t ReadAt(uint64_t off, void* buf, size_t len, int* err) override {
        size_t done = 0;
        while (done < len) {
            ssize_t r = pread(m_fd, static_cast<char*>(buf) + done, len - done, static_cast<off_t>(off + done));
            if (r < 0) {
                if (errno == EINTR) continue;
                if (err) *err = errno;
                return -1;
            }
            if (r == 0) break;
            done += static_cast<size_t>(r);
        }
        return static_cast<int64_t>(done);
    }

    int64_t WriteAt(uint64_t off, const void* buf, size_t len, int* err) override {
        size_t done = 0;
        while (done < len) {
            ssize_t r = pwrite(m_fd, static_cast<const char*>(buf) + done, len - done, static_cast<off_t>(off + done));
            if (r < 0) {
                if (errno == EINTR) continue;
                if (err) *err = errno;
                return -1;
            }
            if (r == 0) break;
            done += static_cast<size_t>(r);
        }
        return static_cast<int64_t>(done);
    }

    bool IsReadOnly() const override { return m_readOnly; }
    void AdviseSequential(uint64_t off, uint64_t len) override {
        // Advice only: a failure changes nothing but the read-ahead.
        (void)posix_fadvise(m_fd, static_cast<off_t>(off), static_cast<off_t>(len), POSIX_FADV_SEQUENTIAL);
    }
    int Fd() const { return m_fd; }

private:
    int m_fd;
    bool m_readOnly;
};

class CLinuxPlatform : public IPlatform {
public:
    DevHandle Open(const std::string& path, bool readOnly, int* err) override {
        int fd = open(path.c_str(), (readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC);
        if (fd < 0) {
            if (err) *err = errno;
            return nullptr;
        }
        return std::make_unique<CFdHandle>(fd, readOnly);
    }
    int GetGeometry(IDeviceHandle*, DiskGeometry&, int* err) override { if (err) *err = ENOSYS; return -1; }
    int GetDriveLayout(IDeviceHandle*, std::vector<LayoutEntry>&, int* err) override { if (err) *err = ENOSYS; return -1; }
    int GetDriveLayoutEx(IDeviceHandle*, DriveLayoutEx&, int* err) override { if (err) *err = ENOSYS; return -1; }
    int EnumDisks(std::vector<PlatformDiskInfo>& out) override { out.clear(); return 0; }
    int EnumVolumes(std::vector<PlatformVolume>& out) override { out.clear(); return 0; }
    int GetVolumeLabel(const std::string&, std::string&) override { return -1; }
    int GetFreeBytes(const std::string&, uint64_t&, int* err) override { if (err) *err = ENOSYS; return -1; }
    std::string GetSystemVolume() override { return {}; }
    bool PathExists(const std::string& path) override {
        struct stat st;
        return stat(path.c_str(), &st) == 0;
    }
    std::string ErrorText(int err) override { return std::strerror(err); }
};

}  // namespace

IPlatform& DefaultPlatform() {
    static CLinuxPlatform platform;
    return platform;
}
