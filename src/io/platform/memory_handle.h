// A device over bytes in memory, with sectors that can be made unreadable:
// what tests and fuzzers plug in beside the real backends.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "io/platform/platform.h"

class CMemoryHandle : public IDeviceHandle {
public:
    explicit CMemoryHandle(std::shared_ptr<std::vector<uint8_t>> bytes, bool readOnly = false)
        : m_bytes(std::move(bytes)), m_readOnly(readOnly) {}

    // Reads that touch one of these 512-byte sectors fail with EIO.
    void SetBadSectors(std::set<uint64_t> bad) { m_bad = std::move(bad); }
    // Number of ReadAt calls so far.
    size_t ReadCalls() const { return m_reads; }
    uint64_t Size() const { return m_bytes ? m_bytes->size() : 0; }

    int64_t ReadAt(uint64_t off, void* buf, size_t len, int* err) override;
    int64_t WriteAt(uint64_t off, const void* buf, size_t len, int* err) override;
    bool IsReadOnly() const override { return m_readOnly; }

private:
    bool TouchesBad(uint64_t off, size_t len) const;

    std::shared_ptr<std::vector<uint8_t>> m_bytes;
    bool m_readOnly;
    std::set<uint64_t> m_bad;
    size_t m_reads = 0;
};

// Memory disks: bytes put behind a path, so that tests and fuzzers reach them
// through the whole stack (the platform's Open consults these before the file
// system; their geometry is that of an image file). Every handle opened on a
// path shares its bytes; reads touching a bad sector fail with EIO.
void RegisterMemoryDisk(const std::string& path, std::shared_ptr<std::vector<uint8_t>> bytes,
                        std::set<uint64_t> badSectors = {});
void UnregisterMemoryDisk(const std::string& path);
bool IsMemoryDisk(const std::string& path);
// A new handle on a registered memory disk, or null when `path` is none.
DevHandle OpenMemoryDisk(const std::string& path, bool readOnly);
