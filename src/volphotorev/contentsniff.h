// Photos under names that are not photo names: a JPEG saved as "holiday
// photo.dat", a ".jpe", a RAW file renamed. A walk hands over each live file
// whose name names no photo; the first sector of each is looked at for a
// photo's signature. The sectors are read in disk order once a batch is
// gathered, those close together in one read, so a folder of many small
// files costs a few large reads instead of a seek each.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "photoformats/photoformat.h"
#include "volphotorev/photoitems.h"

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
    // Logs both.
    void LogTotals() const;

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

// The volume sector of a file's first byte: false when the file begins
// with a hole or has no place on the volume.
bool FirstSectorOf(const PhotoItem& item, uint64_t& sector);

// The files a walk hands over to be looked inside, each kept with what the
// walk needs to store it (`File`) until its first sector has been read.
// `store(file, format)` is called for each file that begins like a photo.
template <class File>
class CSniffBatch {
public:
    using Store = std::function<void(File& file, const PhotoFormat& format)>;
    explicit CSniffBatch(Store store) : m_store(std::move(store)) {}

    // A file whose first byte is at volume sector `sector` of `device`; the
    // batch is looked at once it is full.
    void Add(IDevice* device, uint64_t sector, File file) {
        if (!m_sniffer) m_sniffer = std::make_unique<CContentSniffer>(device);
        try {
            m_files.push_back(std::move(file));
        } catch (const std::bad_alloc&) {
            return;
        }
        m_sniffer->Add(sector, m_files.size() - 1);
        if (m_sniffer->Full()) Flush();
    }
    // Looks at the files added so far.
    void Flush() {
        if (!m_sniffer) return;
        m_sniffer->Flush([this](uint64_t tag, const PhotoFormat& format) {
            if (tag < m_files.size()) m_store(m_files[tag], format);
        });
        m_files.clear();
    }
    // At the walk's end: looks at the rest and logs what it cost.
    void Finish() {
        Flush();
        if (m_sniffer) m_sniffer->LogTotals();
    }

private:
    Store m_store;
    std::unique_ptr<CContentSniffer> m_sniffer;  // made for the first file
    std::vector<File> m_files;                   // the sniffer's tags index this
};
