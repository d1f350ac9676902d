// A device over bytes in memory, with sectors that can be made unreadable:
// what tests and fuzzers plug in beside the real backends.
#pragma once

#include <memory>
#include <set>
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
