#include "io/platform/memory_handle.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

bool CMemoryHandle::TouchesBad(uint64_t off, size_t len) const {
    if (m_bad.empty() || len == 0) return false;
    uint64_t first = off / 512, last = (off + len - 1) / 512;
    auto it = m_bad.lower_bound(first);
    return it != m_bad.end() && *it <= last;
}

int64_t CMemoryHandle::ReadAt(uint64_t off, void* buf, size_t len, int* err) {
    ++m_reads;
    if (TouchesBad(off, len)) {
        if (err) *err = EIO;
        return -1;
    }
    const auto& b = *m_bytes;
    if (off >= b.size()) return 0;
    size_t n = std::min<uint64_t>(len, b.size() - off);
    std::memcpy(buf, b.data() + off, n);
    return static_cast<int64_t>(n);
}

int64_t CMemoryHandle::WriteAt(uint64_t off, const void* buf, size_t len, int* err) {
    if (m_readOnly) {
        if (err) *err = EBADF;
        return -1;
    }
    auto& b = *m_bytes;
    if (off >= b.size()) return 0;
    size_t n = std::min<uint64_t>(len, b.size() - off);
    std::memcpy(b.data() + off, buf, n);
    return static_cast<int64_t>(n);
}

namespace {

struct MemoryDisk {
    std::shared_ptr<std::vector<uint8_t>> bytes;
    std::set<uint64_t> bad;
};

struct MemoryDisks {
    std::mutex lock;
    std::map<std::string, MemoryDisk> disks;
};

MemoryDisks& Registry() {
    static MemoryDisks r;
    return r;
}

}  // namespace

void RegisterMemoryDisk(const std::string& path, std::shared_ptr<std::vector<uint8_t>> bytes,
                        std::set<uint64_t> badSectors) {
    auto& r = Registry();
    std::lock_guard<std::mutex> g(r.lock);
    r.disks[path] = MemoryDisk{bytes ? std::move(bytes) : std::make_shared<std::vector<uint8_t>>(),
                               std::move(badSectors)};
}

void UnregisterMemoryDisk(const std::string& path) {
    auto& r = Registry();
    std::lock_guard<std::mutex> g(r.lock);
    r.disks.erase(path);
}

bool IsMemoryDisk(const std::string& path) {
    auto& r = Registry();
    std::lock_guard<std::mutex> g(r.lock);
    return r.disks.count(path) != 0;
}

DevHandle OpenMemoryDisk(const std::string& path, bool readOnly) {
    auto& r = Registry();
    std::lock_guard<std::mutex> g(r.lock);
    auto it = r.disks.find(path);
    if (it == r.disks.end()) return nullptr;
    auto h = std::make_unique<CMemoryHandle>(it->second.bytes, readOnly);
    h->SetBadSectors(it->second.bad);
    return h;
}
