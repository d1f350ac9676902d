// Raw scan of free space: finds photos that no file system lists any more by
// their signatures at the start of the sectors the allocation map marks free.
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
#include "volphotorev/photoparser.h"

class CRawScanPhoto : public IOperation {
public:
    // Sizes of the scan, in 512-byte sectors.
    static constexpr int64_t kBlockSectors = 0x4000;      // longest run read at once (8 MiB)
    static constexpr int64_t kMaxPhotoSectors = 0x5000;   // a photo is cut after this many
    static constexpr int64_t kProgressSectors = 20480;    // map walk between two progress reports
    static constexpr size_t kBufferBytes = 0x800000;

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
    // start or end of a photo. `count` is at most the block sectors.
    void ScanFreeRun(int64_t first, int64_t count);
    // Closes a candidate photo that ends before sector `end` and stores it.
    void FinishCandidate(std::unique_ptr<PhotoItem> candidate, int64_t end);

    // Photos stored so far by this scan.
    int64_t GetPhotosStored() const { return m_photosStored; }

protected:
    ~CRawScanPhoto() override;

private:
    std::unique_ptr<PhotoItem> NewCandidate(int category, int64_t first) const;

    IPartition* m_partition;       // not owned
    CAlloUnitMgr* m_allocMap;      // not owned
    IEventSink* m_sink = nullptr;  // set while Do runs
    ScanBuffer m_buffer;           // kBufferBytes
    int64_t m_blockSectors = 0;    // kBlockSectors once the buffer exists
    std::unique_ptr<IDevice> m_device;
    PhotoParserList m_parsers;
    // Whether a sector's first byte can begin a photo or other-file header.
    std::array<bool, 256> m_leadBytes{};
    int64_t m_photosStored = 0;
    IPhotoItmesMgr* m_items;       // not owned
    std::unique_ptr<PhotoItem> m_pending;  // open at the end of the previous run
    int64_t m_totalSectors = 0;    // sectors of the partition being scanned
};
