// Photos under names that are not photo names: a JPEG saved as "holiday
// photo.dat", a ".jpe", a RAW file renamed. A walk hands over each live file
// whose name names no photo; the first sector of each is looked at for a
// photo's signature. The sectors are read in disk order once a batch is
// gathered, those close together in one read, so a folder of many small
// files costs a few large reads instead of a seek each.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "photoformats/photoformat.h"

class IDevice;

class CContentSniffer {
public:
    static constexpr size_t kBatchFiles = 65536;       // files gathered before their sectors are read
    static constexpr uint64_t kMaxGapSectors = 128;    // sectors between two files read through, not skipped
    static constexpr uint64_t kMaxReadSectors = 2048;  // longest read (1 MiB)

    // Reads through `device` (not owned; sector 0 is the volume's first).
    explicit CContentSniffer(IDevice* device);

    // A file whose first byte is at volume sector `sector`; `tag` is the
    // walk's own (which file it is), handed back by Flush.
    void Add(uint64_t sector, uint64_t tag);
    // True when the batch is full: the walk flushes it before adding more.
    bool Full() const { return m_pending.size() >= kBatchFiles; }

    // Reads the first sector of every file added since the last flush and
    // calls found(tag, format) for each that begins with a photo's
    // signature, in disk order. A sector that cannot be read starts nothing.
    // Empties the batch.
    void Flush(const std::function<void(uint64_t tag, const PhotoFormat& format)>& found);

    // Device reads and files looked at so far, for the log and benchmarks.
    uint64_t Reads() const { return m_reads; }
    uint64_t Files() const { return m_files; }

private:
    struct Pending {
        uint64_t sector = 0;
        uint64_t tag = 0;
    };
    IDevice* m_device;
    std::vector<Pending> m_pending;
    std::vector<uint8_t> m_buffer;  // kMaxReadSectors sectors, made on the first flush
    uint64_t m_reads = 0;
    uint64_t m_files = 0;
};
