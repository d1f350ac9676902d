// A device over bytes in memory, with faults that can be injected: what tests
// and fuzzers plug in beside the real backends.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "io/platform/platform.h"

// How a failing drive misbehaves, sector by sector (512-byte sectors).
struct FaultPlan {
    // Ranges [first, first + count) of sectors that never read: a read
    // touching one fails with EIO.
    std::vector<std::pair<uint64_t, uint64_t>> unreadable;
    // Sectors that fail this many reads (each failure counts once per read
    // touching them), then read well: weak sectors that a retry brings back.
    std::map<uint64_t, int> weak;
    // Reads touching one of these sectors take `slowMicros` microseconds,
    // spent through `wait` (which sleeps when empty).
    std::set<uint64_t> slow;
    uint32_t slowMicros = 0;
    std::function<void(uint32_t micros)> wait;
    // When not 0: the device disappears after this many reads; every later
    // read fails with ENODEV, as after the card is pulled out.
    uint64_t vanishAfterReads = 0;
};

class CMemoryHandle : public IDeviceHandle {
public:
    explicit CMemoryHandle(std::shared_ptr<std::vector<uint8_t>> bytes, bool readOnly = false)
        : m_bytes(std::move(bytes)), m_readOnly(readOnly) {}

    // Reads that touch one of these 512-byte sectors fail with EIO.
    void SetBadSectors(std::set<uint64_t> bad) { m_bad = std::move(bad); }
    // Adds the faults of `plan` (bad sectors set above stay bad).
    void SetFaults(FaultPlan plan);
    // Number of ReadAt calls so far.
    size_t ReadCalls() const { return m_reads; }
    uint64_t Size() const { return m_bytes ? m_bytes->size() : 0; }

    int64_t ReadAt(uint64_t off, void* buf, size_t len, int* err) override;
    int64_t WriteAt(uint64_t off, const void* buf, size_t len, int* err) override;
    bool IsReadOnly() const override { return m_readOnly; }

private:
    bool TouchesBad(uint64_t first, uint64_t last) const;
    // Counts a read against the weak sectors it touches; true when any of
    // them still fails.
    bool WeakFails(uint64_t first, uint64_t last);

    std::shared_ptr<std::vector<uint8_t>> m_bytes;
    bool m_readOnly;
    std::set<uint64_t> m_bad;
    std::map<uint64_t, uint64_t> m_unreadable;  // first sector -> end sector
    FaultPlan m_plan;
    size_t m_reads = 0;
};

// Memory disks: bytes put behind a path, so that tests and fuzzers reach them
// through the whole stack (the platform's Open consults these before the file
// system; their geometry is that of an image file). Every handle opened on a
// path shares its bytes; reads touching a bad sector fail with EIO.
void RegisterMemoryDisk(const std::string& path, std::shared_ptr<std::vector<uint8_t>> bytes,
                        std::set<uint64_t> badSectors = {});
// Gives the handles opened on a registered memory disk from now on these
// faults (each handle counts its own reads). False when `path` is none.
bool SetMemoryDiskFaults(const std::string& path, FaultPlan plan);
void UnregisterMemoryDisk(const std::string& path);
bool IsMemoryDisk(const std::string& path);
// A new handle on a registered memory disk, or null when `path` is none.
DevHandle OpenMemoryDisk(const std::string& path, bool readOnly);
