#include "io/platform/memory_handle.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <thread>

void CMemoryHandle::SetFaults(FaultPlan plan) {
    m_plan = std::move(plan);
    m_unreadable.clear();
    for (const auto& [first, count] : m_plan.unreadable) {
        if (count == 0 || first > UINT64_MAX - count) continue;
        uint64_t end = first + count;
        // Overlapping ranges join, so that one lookup answers.
        auto it = m_unreadable.upper_bound(first);
        uint64_t start = first;
        if (it != m_unreadable.begin() && std::prev(it)->second >= first) {
            --it;
            start = it->first;
            end = std::max(end, it->second);
            it = m_unreadable.erase(it);
        }
        while (it != m_unreadable.end() && it->first <= end) {
            end = std::max(end, it->second);
            it = m_unreadable.erase(it);
        }
        m_unreadable[start] = end;
    }
}

bool CMemoryHandle::TouchesBad(uint64_t first, uint64_t last) const {
    auto it = m_bad.lower_bound(first);
    if (it != m_bad.end() && *it <= last) return true;
    auto range = m_unreadable.upper_bound(last);
    return range != m_unreadable.begin() && std::prev(range)->second > first;
}

bool CMemoryHandle::WeakFails(uint64_t first, uint64_t last) {
    bool fails = false;
    for (auto it = m_plan.weak.lower_bound(first); it != m_plan.weak.end() && it->first <= last; ++it) {
        if (it->second > 0) {
            --it->second;
            fails = true;
        }
    }
    return fails;
}

int64_t CMemoryHandle::ReadAt(uint64_t off, void* buf, size_t len, int* err) {
    ++m_reads;
    if (m_plan.vanishAfterReads != 0 && m_reads > m_plan.vanishAfterReads) {
        if (err) *err = ENODEV;
        return -1;
    }
    if (len == 0) return 0;
    const uint64_t first = off / 512, last = (off + (len - 1)) / 512;
    if (!m_plan.slow.empty() && m_plan.slowMicros != 0) {
        auto it = m_plan.slow.lower_bound(first);
        if (it != m_plan.slow.end() && *it <= last) {
            if (m_plan.wait) m_plan.wait(m_plan.slowMicros);
            else std::this_thread::sleep_for(std::chrono::microseconds(m_plan.slowMicros));
        }
    }
    if (TouchesBad(first, last) || WeakFails(first, last)) {
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
    FaultPlan faults;
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
                               std::move(badSectors), FaultPlan{}};
}

bool SetMemoryDiskFaults(const std::string& path, FaultPlan plan) {
    auto& r = Registry();
    std::lock_guard<std::mutex> g(r.lock);
    auto it = r.disks.find(path);
    if (it == r.disks.end()) return false;
    it->second.faults = std::move(plan);
    return true;
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
    h->SetFaults(it->second.faults);
    return h;
}
