// Linux: the image file a copy is written to, and whole-file replacement.
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "io/platform/image_file.h"

namespace {

class CImageFile : public IImageOutput {
public:
    explicit CImageFile(int fd) : m_fd(fd) {}
    ~CImageFile() override { close(m_fd); }
    CImageFile(const CImageFile&) = delete;
    CImageFile& operator=(const CImageFile&) = delete;

    int64_t WriteAt(uint64_t off, const void* buf, size_t len, int* err) override {
        size_t done = 0;
        while (done < len) {
            if (off + done > static_cast<uint64_t>(LLONG_MAX)) {
                if (err) *err = EINVAL;
                return -1;
            }
            ssize_t w = pwrite(m_fd, static_cast<const char*>(buf) + done, len - done,
                               static_cast<off_t>(off + done));
            if (w < 0) {
                if (errno == EINTR) continue;
                if (err) *err = errno;
                return -1;
            }
            if (w == 0) {
                if (err) *err = ENOSPC;
                return -1;
            }
            done += static_cast<size_t>(w);
        }
        return static_cast<int64_t>(done);
    }

    int Sync(int* err) override {
        if (fdatasync(m_fd) == 0) return 0;
        if (err) *err = errno;
        return -1;
    }

    uint64_t Size() const override {
        struct stat st {};
        return fstat(m_fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    }

private:
    int m_fd;
};

int WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t w = write(fd, text.data() + done, text.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return w == 0 ? ENOSPC : errno;
        done += static_cast<size_t>(w);
    }
    return 0;
}

}  // namespace

std::unique_ptr<IImageOutput> OpenImageOutput(const std::string& path, uint64_t size, int* err) {
    if (size > static_cast<uint64_t>(LLONG_MAX)) {
        if (err) *err = EFBIG;
        return nullptr;
    }
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (err) *err = errno;
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        // A device or a folder is no place for an image.
        int e = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        close(fd);
        if (err) *err = e;
        return nullptr;
    }
    if (static_cast<uint64_t>(st.st_size) < size && ftruncate(fd, static_cast<off_t>(size)) != 0) {
        int e = errno;
        close(fd);
        if (err) *err = e;
        return nullptr;
    }
    return std::make_unique<CImageFile>(fd);
}

int ReplaceFileContents(const std::string& path, const std::string& contents, int* err) {
    const std::string temp = path + ".tmp";
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (err) *err = errno;
        return -1;
    }
    int e = WriteAll(fd, contents);
    if (e == 0 && fsync(fd) != 0) e = errno;
    if (close(fd) != 0 && e == 0) e = errno;
    if (e == 0 && rename(temp.c_str(), path.c_str()) != 0) e = errno;
    if (e != 0) {
        unlink(temp.c_str());
        if (err) *err = e;
        return -1;
    }
    // The rename itself is made durable through the folder.
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        (void)fsync(dir);  // best effort: the new contents are in place already
        close(dir);
    }
    return 0;
}

int ReadSmallFile(const std::string& path, std::string& out, uint64_t limit, int* err) {
    out.clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (err) *err = errno;
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > limit) {
        int e = (st.st_size >= 0 && static_cast<uint64_t>(st.st_size) > limit) ? EFBIG : EINVAL;
        close(fd);
        if (err) *err = e;
        return -1;
    }
    char buf[65536];
    for (;;) {
        ssize_t r = read(fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            int e = errno;
            close(fd);
            if (err) *err = e;
            return -1;
        }
        if (r == 0) break;
        if (out.size() + static_cast<size_t>(r) > limit) {
            close(fd);
            if (err) *err = EFBIG;
            return -1;
        }
        out.append(buf, static_cast<size_t>(r));
    }
    close(fd);
    return 0;
}

int FileSize(const std::string& path, uint64_t& bytes, int* err) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        if (err) *err = errno;
        return -1;
    }
    bytes = static_cast<uint64_t>(st.st_size);
    return 0;
}

bool IsSameFile(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}
