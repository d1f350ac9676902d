// The raw scan of free space on a fuzzed partition with a fuzzed allocation
// map: signature matching, structure reading over the free sectors (from the
// read buffer and ahead of it), whole photos skipped, candidates cut by other
// files, by used sectors, by the 10 MiB limit, the 8 MiB blocks, the progress
// steps and the partition's end.
//
// Input: a 4-byte header, the map, then the partition's sectors (the bytes
// after the last whole sector are the controls of fuzz_support.h):
//   bytes 0-1  map bytes M that follow the header (u16)
//   bytes 2-3  sectors the partition has beyond the input (u16): zeros up to
//              sector 24576 (past the first block of 16384 sectors and the
//              first progress report at 20480), then sectors the disk does
//              not have, whose reads come back short
// Bit i of the map (LSB first) marks sector i used; sectors past the map's
// bits are free.
//
// One scan object serves every input: its 8 MiB buffer would otherwise be
// mapped afresh and faulted in page by page for each one, which makes this
// target a hundred times slower. The scan clears what it looked at, so a
// reused buffer changes nothing it sees.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <set>
#include <vector>

#include "filesystem/allounitmgr.h"
#include "fuzz_support.h"
#include "io/le.h"
#include "volphotorev/photoitems.h"
#include "volphotorev/raw_photorev.h"

namespace {

constexpr uint64_t kDiskSectors = 24576;
constexpr size_t kMaxImageBytes = 8u << 20;

// Hands the scan's items to the store of the input being run.
class StoreOfThisRun : public IPhotoItmesMgr {
public:
    void AddItem(std::unique_ptr<PhotoItem> item) override { current->AddItem(std::move(item)); }
    int GetItems(int32_t category, int32_t first, int32_t count, PhotoItem** out) override {
        return current->GetItems(category, first, count, out);
    }
    CPhotoItemsMgr* current = nullptr;
};

struct Fixture {
    std::shared_ptr<std::vector<uint8_t>> bytes = std::make_shared<std::vector<uint8_t>>();
    CDisk disk;
    CPartition part{&disk};
    CAlloUnitMgr alloc;
    StoreOfThisRun store;
    CRawScanPhoto* scan = nullptr;

    Fixture() {
        bytes->reserve(std::max<size_t>(kDiskSectors * 512, kMaxImageBytes));
        disk.m_bytesPerSector = 512;
        scan = new CRawScanPhoto(&part, &alloc, &store);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog();
    static Fixture* fx = new Fixture();
    if (size < 4) return 0;
    le::Bytes in(data, size);
    const size_t mapBytes = std::min<size_t>(le::u16(in, 0), size - 4);
    const uint64_t beyond = le::u16(in, 2);
    const uint8_t* map = data + 4;
    const uint8_t* image = map + mapBytes;
    const size_t imageSize = size - 4 - mapBytes;
    const size_t whole = std::min(imageSize / 512 * 512, kMaxImageBytes);

    std::set<uint64_t> bad;
    const uint8_t* tail = image + imageSize / 512 * 512;
    uint32_t stopAt = 0;
    if (imageSize % 512 >= 2) bad.insert(static_cast<uint64_t>(tail[0] | tail[1] << 8));
    if (imageSize % 512 >= 4) stopAt = static_cast<uint32_t>(tail[2] | tail[3] << 8);

    const uint64_t sectors = whole / 512 + beyond;
    const uint64_t diskSectors = std::max<uint64_t>(whole / 512, std::min(sectors, kDiskSectors));
    fx->bytes->assign(diskSectors * 512, 0);  // within the reserve: no new pages
    if (whole) std::memcpy(fx->bytes->data(), image, whole);
    auto handle = std::make_unique<CMemoryHandle>(fx->bytes, true);
    handle->SetBadSectors(bad);
    fx->disk.m_handle = std::move(handle);
    fx->disk.m_totalSectors = diskSectors;
    ParInfor infor;
    infor.Len = sectors;
    infor.Fs = FS_UNKNOWN;
    fx->part.SetInfor(infor);

    std::vector<uint8_t> bits((sectors + 7) / 8, 0);
    if (!bits.empty()) std::memcpy(bits.data(), map, std::min(mapBytes, bits.size()));
    fx->alloc.~CAlloUnitMgr();
    new (&fx->alloc) CAlloUnitMgr();
    int init = bits.empty() ? fx->alloc.InitFree(0)
                            : fx->alloc.Init(bits.data(), static_cast<int64_t>(bits.size()), static_cast<int64_t>(sectors));
    FUZZ_CHECK(init == 0);

    CPhotoItemsMgr store;
    fx->store.current = &store;
    fuzz::Sink sink(stopAt);
    fx->scan->Do(&sink);
    fx->store.current = nullptr;
    fuzz::CheckItems(store, false, sectors);

    // Every photo lies in free sectors of the partition, its size ends in its
    // last sector, and no two photos share a sector.
    std::vector<std::pair<int64_t, int64_t>> spans;
    for (int c = 0; c < kPhotoCategoryCount; ++c) {
        int n = store.GetItems(c, 0, 0, nullptr);
        std::vector<PhotoItem*> items(static_cast<size_t>(n));
        if (n) store.GetItems(c, 0, n, items.data());
        for (PhotoItem* item : items) {
            const PhotoRun& r = item->runs[0];
            FUZZ_CHECK(item->origin == RawScan && item->runs.size() == 2);
            FUZZ_CHECK(r.volumeSector >= 0 && r.sectorCount > 0);
            FUZZ_CHECK(static_cast<uint64_t>(r.volumeSector + r.sectorCount) <= sectors);
            FUZZ_CHECK(r.sectorCount <= CRawScanPhoto::kMaxWholeSectors);
            FUZZ_CHECK(fx->alloc.IsFree(r.volumeSector, r.sectorCount));
            FUZZ_CHECK(item->size > static_cast<uint64_t>(r.sectorCount - 1) * 512 &&
                       item->size <= static_cast<uint64_t>(r.sectorCount) * 512);
            spans.emplace_back(r.volumeSector, r.sectorCount);
        }
    }
    std::sort(spans.begin(), spans.end());
    for (size_t k = 1; k < spans.size(); ++k) FUZZ_CHECK(spans[k - 1].first + spans[k - 1].second <= spans[k].first);
    return 0;
}
