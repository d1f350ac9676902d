// Raw scan of free space: finds photos that no file system lists any more by
// their signatures at the start of the sectors the allocation map marks free,
// and follows each photo's own structure to its exact end. A photo whose
// structure breaks or cannot tell its end is cut by the sector rules: at the
// next photo or other-file header, a used sector, or 10 MiB.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "filesystem/allounitmgr.h"
#include "io/deviceio.h"
#include "io/partition.h"
#include "volphotorev/operation.h"
#include "volphotorev/photoitems.h"
#include "photoformats/photoformat.h"
#include "volphotorev/photoparser.h"

class CRawScanPhoto : public IOperation {
public:
    // Sizes of the scan, in 512-byte sectors.
    // Longest run read at once (512 KiB): small enough that the sectors the
    // kernel has just copied are still in the core's cache when the scan
    // looks at their first bytes. With 8 MiB reads every sector's first
    // line had to come back from memory, and the scan spent more time on
    // those loads than on anything else of its own.
    static constexpr int64_t kBlockSectors = 0x400;
    static constexpr int64_t kMaxPhotoSectors = 0x5000;   // a photo the sector rules end is cut after this many
    static constexpr int64_t kMaxWholeSectors = 0x100000; // a photo whose structure is followed ends by here (512 MiB)
    static constexpr int64_t kProgressSectors = 20480;    // map walk between two progress reports
    static constexpr size_t kBufferBytes = kBlockSectors * 512;
    // Reads of a photo beyond the read run: a run's length, so that a piece
    // read for a photo is the very run the walk hands over next.
    static constexpr size_t kAheadBytes = kBufferBytes;

    struct FreeDeleter {
        void operator()(uint8_t* p) const { std::free(p); }
    };
    using ScanBuffer = std::unique_ptr<uint8_t[], FreeDeleter>;
    // Gets the zero-filled read buffer of `bytes` bytes (malloc family);
    // null when memory is short.
    using BufferAllocator = ScanBuffer (*)(size_t bytes);

    // Scans `partition` (its disk must have an open handle) with `allocMap`
    // (one unit per sector of the partition, set = used) and stores what it
    // finds in `items`. None of the three is owned; all must outlive the scan.
    // The read buffer comes from `allocate` (calloc when null); when it
    // cannot be had, Do fails with -1 before any read.
    CRawScanPhoto(IPartition* partition, CAlloUnitMgr* allocMap, IPhotoItmesMgr* items,
                  BufferAllocator allocate = nullptr);
    CRawScanPhoto(const CRawScanPhoto&) = delete;
    CRawScanPhoto& operator=(const CRawScanPhoto&) = delete;

    // CURRENT_TASK_START, the scan of the partition's length in sectors,
    // CURRENT_TASK_FINISHED. 0, or the negative answer / -1 that ended it.
    int Do(IEventSink* sink) override;

    // The steps of the scan; public so a caller can drive a scan over part of
    // a partition. All need the sink that Do keeps (null outside Do: -1).
    //
    // Walks sectors [0, totalSectors) of the map, reads their free runs of at
    // most `blockSectors` sectors and scans them; reports progress every
    // kProgressSectors sectors. 0, -1, or a sink's negative answer.
    int TransferFreeAlloUnits(int64_t totalSectors, int64_t blockSectors);
    // Reads `count` free sectors from `first` and looks at each one for the
    // start or end of a photo. `count` is at most the block sectors. Sectors
    // of a whole photo stored already are neither read nor looked at again.
    void ScanFreeRun(int64_t first, int64_t count);

    // Photos stored so far by this scan (those the store wants).
    int64_t GetPhotosStored() const { return m_photosStored; }

    // Makes Do go on from a point an earlier scan of the same partition with
    // the same map reported (RAW_SCAN_POSITION): only sectors from there on
    // are walked, and progress starts where that scan was. The caller has
    // checked the point against the partition; a point past its end finds
    // nothing more.
    void ResumeFrom(const RawScanPosition& position) { m_start = position; }
    // Whether Do sends RAW_SCAN_POSITION after each progress report (for
    // a scan that is saved as it goes); off unless asked for.
    void ReportPositions(bool on) { m_reportPositions = on; }

protected:
    ~CRawScanPhoto() override;

private:
    class FreeSectorsSource;

    // The photo being followed: open from its first sector until something
    // ends it; kept across runs that continue it on the disk.
    struct Candidate {
        std::unique_ptr<PhotoItem> item;  // null when none is open
        const PhotoFormat* format = nullptr;
        int64_t first = 0;      // its first sector
        int64_t seen = 0;       // sectors of it looked at so far
        int64_t cap = 0;        // sector rules: cut after this many sectors
        uint64_t exact = 0;     // a bitmap's length from its headers, else 0
        std::string_view extension;  // of its name
        int64_t Sectors() const { return static_cast<int64_t>((exact + 511) / 512); }
    };

    // What the structure of the photo that may start at buffer sector `i`
    // (sector `first` + i) says; the photo's bytes are the free sectors from
    // there, read from the buffer as far as it holds them (`n` sectors).
    StructureResult ReadStructureAt(const PhotoFormat& format, const uint8_t* buf, int64_t first, int64_t n,
                                    int64_t count, int64_t i);
    // Looks at the `count` sectors from `first` whose bytes are at `buf`, of
    // which the first `n` could be read.
    void ScanHeldRun(const uint8_t* buf, int64_t first, int64_t count, int64_t n);
    // Opens a candidate at sector `s` for the structure's verdict, or stores a
    // whole photo at once. Answers the sector after a stored photo, else `s` + 1.
    int64_t StartCandidate(const PhotoFormat& format, const StructureResult& r, int64_t s);
    // Reads of the partition's disk that failed so far (the device's tally).
    uint64_t FailedReads() const;
    // Closes the open candidate at sector `end` (before it) and stores it.
    void FinishCandidate(int64_t end);
    // The point this scan could go on from, with the map walked up to
    // `walked` and the free run [runFirst, runFirst + runLen) not read yet.
    RawScanPosition Position(int64_t walked, int64_t runFirst, int64_t runLen) const;
    // Reports progress and then the position: 0, or the sink's negative answer.
    int ReportProgress(int64_t done, int64_t walked, int64_t runFirst, int64_t runLen);
    // Stores a photo of `sectors` sectors from `first`, `bytes` long, when
    // the store wants its category and size; names it either way.
    // True when the sector starting at `head` can neither start a photo nor
    // end one by beginning another file.
    bool Quiet(const uint8_t* head) const;
    void StorePhoto(PhotoCategory category, std::string_view extension, int64_t first, int64_t sectors,
                    uint64_t bytes);

    IPartition* m_partition;       // not owned
    CAlloUnitMgr* m_allocMap;      // not owned
    IEventSink* m_sink = nullptr;  // set while Do runs
    ScanBuffer m_buffer;           // kBufferBytes
    int64_t m_blockSectors = 0;    // kBlockSectors once the buffer exists
    std::unique_ptr<IDevice> m_device;
    // Whether a sector's first byte can begin a photo (kPhotoLead) or an
    // other-file header (kOtherLead).
    std::array<uint8_t, 256> m_leadBytes{};
    RawScanPosition m_start;       // where Do begins
    bool m_reportPositions = false;
    int64_t m_photosFound = 0;     // of every type, for their names
    int64_t m_photosStored = 0;
    IPhotoItmesMgr* m_items;       // not owned
    Candidate m_cur;               // open, possibly since an earlier run
    int64_t m_skipUntil = 0;       // sectors before it belong to a whole photo stored already
    int64_t m_totalSectors = 0;    // sectors of the partition being scanned
    ScanBuffer m_ahead;            // kAheadBytes for photos that go on past the read run
    int64_t m_aheadFirst = 0;      // m_ahead holds sectors [m_aheadFirst, m_aheadFirst + m_aheadSectors)
    int64_t m_aheadSectors = 0;
};
