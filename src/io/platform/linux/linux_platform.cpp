// Linux backend: block devices and image files.
#include <blkid/blkid.h>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "io/log.h"
#include "io/platform/drive_layout.h"
#include "io/platform/linux/linux_sysfs.h"
#include "io/platform/memory_handle.h"
#include "io/platform/platform.h"

namespace {

class CFdHandle : public IDeviceHandle {
public:
    CFdHandle(int fd, bool readOnly) : m_fd(fd), m_readOnly(readOnly) {}
    ~CFdHandle() override { if (m_fd >= 0) close(m_fd); }
    CFdHandle(const CFdHandle&) = delete;
    CFdHandle& operator=(const CFdHandle&) = delete;

    int64_t ReadAt(uint64_t off, void* buf, size_t len, int* err) override {
        size_t done = 0;
        while (done < len) {
            if (off + done > static_cast<uint64_t>(LLONG_MAX)) {
                if (err) *err = EINVAL;
                return -1;
            }
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
            if (off + done > static_cast<uint64_t>(LLONG_MAX)) {
                if (err) *err = EINVAL;
                return -1;
            }
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

int BlockGeometry(int fd, DiskGeometry& g, int* err) {
    uint64_t bytes = 0;
    int ss = 0;
    if (ioctl(fd, BLKGETSIZE64, &bytes) != 0 || ioctl(fd, BLKSSZGET, &ss) != 0) {
        if (err) *err = errno;
        return -1;
    }
    if (ss < 512) ss = 512;
    struct hd_geometry geo {};
    unsigned heads = 255, spt = 63;
    if (ioctl(fd, HDIO_GETGEO, &geo) == 0 && geo.heads != 0 && geo.sectors != 0) {
        heads = geo.heads;
        spt = geo.sectors;
    }
    g.BytesPerSector = static_cast<uint32_t>(ss);
    g.TracksPerCylinder = heads;
    g.SectorsPerTrack = spt;
    // hd_geometry's cylinder count is 16 bits: count them from the size.
    g.Cylinders = bytes / (static_cast<uint64_t>(heads) * spt * static_cast<uint64_t>(ss));
    g.DiskSize = bytes;
    return 0;
}

std::string ReadWholeFile(const char* path) {
    std::ifstream f(path);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

std::vector<linuxsys::MountEntry> Mounts() { return linuxsys::ParseMountInfo(ReadWholeFile("/proc/self/mountinfo")); }

std::string Basename(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

class CLinuxPlatform : public IPlatform {
public:
    ~CLinuxPlatform() override {
        for (const auto& [path, fd] : m_adopted) close(fd);
    }

    DevHandle Open(const std::string& path, bool readOnly, int* err) override {
        if (DevHandle mem = OpenMemoryDisk(path, readOnly)) return mem;
        int fd = OpenFd(path, readOnly, err);
        if (fd < 0) return nullptr;
        struct stat st;
        if (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) {
            // A folder or a character device is no disk.
            int e = S_ISDIR(st.st_mode) ? EISDIR : ENOTBLK;
            close(fd);
            if (err) *err = e;
            return nullptr;
        }
        return std::make_unique<CFdHandle>(fd, readOnly);
    }

    int GetGeometry(IDeviceHandle* h, DiskGeometry& g, int* err) override {
        if (auto* mem = dynamic_cast<CMemoryHandle*>(h)) {
            ImageGeometry(mem->Size(), g);
            return 0;
        }
        auto* fh = dynamic_cast<CFdHandle*>(h);
        if (!fh) {
            if (err) *err = EBADF;
            return -1;
        }
        struct stat st;
        if (fstat(fh->Fd(), &st) != 0) {
            if (err) *err = errno;
            return -1;
        }
        if (S_ISBLK(st.st_mode)) return BlockGeometry(fh->Fd(), g, err);
        ImageGeometry(static_cast<uint64_t>(st.st_size), g);
        return 0;
    }

    int GetDriveLayout(IDeviceHandle* h, std::vector<LayoutEntry>& out, int* err) override {
        DiskGeometry g;
        if (GetGeometry(h, g, err) != 0) return -1;
        return ReadDriveLayout(h, g.DiskSize, g.BytesPerSector, out, err);
    }

    int GetDriveLayoutEx(IDeviceHandle* h, DriveLayoutEx& out, int* err) override {
        DiskGeometry g;
        if (GetGeometry(h, g, err) != 0) return -1;
        return ReadDriveLayoutEx(h, g.DiskSize, g.BytesPerSector, out, err);
    }

    int EnumDisks(std::vector<PlatformDiskInfo>& out) override {
        out.clear();
        if (IncludeMachineDisks()) out = linuxsys::ListMachineDisks(linuxsys::Roots{});
        for (const auto& image : ImageFiles()) {
            PlatformDiskInfo d;
            d.TotalHeads = 255;
            d.DeviceID = image;
            d.Index = static_cast<uint32_t>(out.size());
            d.InterfaceType = "Image";
            d.MediaType = "Fixed hard disk media";
            d.Model = Basename(image);
            out.push_back(std::move(d));
        }
        return static_cast<int>(out.size());
    }

    int EnumVolumes(std::vector<PlatformVolume>& out) override {
        std::vector<PlatformDiskInfo> disks;
        EnumDisks(disks);
        out = linuxsys::ListVolumes(Mounts(), disks, linuxsys::Roots{});
        return static_cast<int>(out.size());
    }

    int GetVolumeLabel(const std::string& volumeName, std::string& label) override {
        blkid_probe pr = blkid_new_probe_from_filename(volumeName.c_str());
        if (pr) {
            blkid_probe_enable_superblocks(pr, 1);
            blkid_probe_set_superblocks_flags(pr, BLKID_SUBLKS_LABEL | BLKID_SUBLKS_TYPE);
            int rc = blkid_do_safeprobe(pr);
            const char* value = nullptr;
            size_t len = 0;
            if (rc == 0) {
                label = blkid_probe_lookup_value(pr, "LABEL", &value, &len) == 0 && value ? value : "";
                blkid_free_probe(pr);
                return 0;
            }
            blkid_free_probe(pr);
            if (rc == 1) {  // readable, but no file system known to blkid
                label.clear();
                return 0;
            }
        }
        // Not readable by this user: the blkid cache may still know it.
        char* cached = blkid_get_tag_value(nullptr, "LABEL", volumeName.c_str());
        if (!cached) return -1;
        label = cached;
        free(cached);
        return 0;
    }

    int ProbeLabelAt(const std::string& diskPath, uint64_t offset, uint64_t size, std::string& label) override {
        if (IsMemoryDisk(diskPath)) return -1;
        int fd = OpenFd(diskPath, true, nullptr);
        if (fd < 0) return -1;
        int result = -1;
        blkid_probe pr = blkid_new_probe();
        if (pr && blkid_probe_set_device(pr, fd, static_cast<blkid_loff_t>(offset), static_cast<blkid_loff_t>(size)) == 0) {
            blkid_probe_enable_superblocks(pr, 1);
            blkid_probe_set_superblocks_flags(pr, BLKID_SUBLKS_LABEL);
            if (blkid_do_safeprobe(pr) == 0) {
                const char* value = nullptr;
                size_t len = 0;
                if (blkid_probe_lookup_value(pr, "LABEL", &value, &len) == 0 && value) {
                    label = value;
                    result = 0;
                }
            }
        }
        if (pr) blkid_free_probe(pr);
        close(fd);
        return result;
    }

    int GetFreeBytes(const std::string& path, uint64_t& freeBytes, int* err) override {
        struct statvfs sv;
        if (statvfs(path.c_str(), &sv) != 0) {
            if (err) *err = errno;
            return -1;
        }
        uint64_t blocks = sv.f_bfree, unit = sv.f_frsize ? sv.f_frsize : sv.f_bsize;
        freeBytes = (unit && blocks > UINT64_MAX / unit) ? UINT64_MAX : blocks * unit;
        return 0;
    }

    std::string GetSystemVolume() override { return linuxsys::SystemVolume(Mounts(), linuxsys::Roots{}); }

    bool PathExists(const std::string& path) override {
        if (IsMemoryDisk(path)) return true;
        struct stat st;
        return stat(path.c_str(), &st) == 0;
    }

    std::string ErrorText(int err) override { return std::strerror(err); }

    int AdoptReadOnlyDescriptor(const std::string& path, int fd, int* err) override {
        const int flags = fcntl(fd, F_GETFL);
        struct stat st;
        int e = 0;
        if (flags < 0 || fstat(fd, &st) != 0) e = errno;
        else if ((flags & O_ACCMODE) != O_RDONLY) e = EINVAL;  // it could write to the disk
        else if (!S_ISBLK(st.st_mode) && !S_ISREG(st.st_mode)) e = ENOTBLK;
        // A plain dup() would drop close-on-exec: a program started later
        // must not inherit the disk.
        const int own = e ? -1 : fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (!e && own < 0) e = errno;
        if (e) {
            LOG_E("cannot take the descriptor handed over for %s: %s\n", path.c_str(), std::strerror(e));
            if (err) *err = e;
            return -1;
        }
        std::lock_guard<std::mutex> g(m_adoptedLock);
        auto [it, added] = m_adopted.emplace(path, own);
        if (!added) {
            close(it->second);
            it->second = own;
        }
        return 0;
    }

    void ReleaseAdoptedDescriptor(const std::string& path) override {
        std::lock_guard<std::mutex> g(m_adoptedLock);
        auto it = m_adopted.find(path);
        if (it == m_adopted.end()) return;
        close(it->second);
        m_adopted.erase(it);
    }

    bool HasAdoptedDescriptor(const std::string& path) override {
        std::lock_guard<std::mutex> g(m_adoptedLock);
        return m_adopted.count(path) != 0;
    }

private:
    // A descriptor of its own for `path`: a duplicate of the one taken for it,
    // else the path opened. -1 with *err on failure.
    int OpenFd(const std::string& path, bool readOnly, int* err) {
        {
            std::lock_guard<std::mutex> g(m_adoptedLock);
            auto it = m_adopted.find(path);
            if (it != m_adopted.end()) {
                if (!readOnly) {
                    if (err) *err = EACCES;
                    return -1;
                }
                int fd = fcntl(it->second, F_DUPFD_CLOEXEC, 0);
                if (fd < 0 && err) *err = errno;
                return fd;
            }
        }
        int fd = open(path.c_str(), (readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC);
        if (fd < 0 && err) *err = errno;
        return fd;
    }

    std::mutex m_adoptedLock;
    std::map<std::string, int> m_adopted;  // path -> descriptor taken for it (owned)
};

}  // namespace

IPlatform& DefaultPlatform() {
    static CLinuxPlatform platform;
    return platform;
}
