// The raw scan of free space on a fuzzed partition with a fuzzed allocation
// map: signature matching, candidates cut by other files, used sectors, the
// block and progress boundaries and the partition's end.
//
// Input: a 6-byte header, the map, then the disk image (layout of
// fuzz_support.h):
//   bytes 0-1  map bytes M that follow the header (u16)
//   bytes 2-3  sectors the partition claims beyond the image (u16): reads
//              there come back short
//   bytes 4-5  the partition's first sector on the disk (u16, at most the
//              image's sectors)
// Bit i of the map (LSB first) marks sector i of the partition used; sectors
// past the map's bits are free.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "filesystem/allounitmgr.h"
#include "fuzz_support.h"
#include "io/le.h"
#include "volphotorev/photoitems.h"
#include "volphotorev/raw_photorev.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog();
    if (size < 6) return 0;
    le::Bytes in(data, size);
    size_t mapBytes = std::min<size_t>(le::u16(in, 0), size - 6);
    uint64_t beyond = le::u16(in, 2);
    uint64_t off = le::u16(in, 4);
    const uint8_t* map = data + 6;
    fuzz::Image img = fuzz::SplitImage(map + mapBytes, size - 6 - mapBytes, 512, 16u << 20);

    off = std::min<uint64_t>(off, img.Sectors());
    const uint64_t sectors = img.Sectors() - off + beyond;
    fuzz::MemoryPartition mp(img, off, sectors);

    std::vector<uint8_t> bits((sectors + 7) / 8, 0);
    if (!bits.empty()) std::memcpy(bits.data(), map, std::min(mapBytes, bits.size()));
    CAlloUnitMgr alloc;
    if (bits.empty() ? alloc.InitFree(0) != 0 : alloc.Init(bits.data(), static_cast<int64_t>(bits.size()),
                                                              static_cast<int64_t>(sectors)) != 0)
        return 0;

    CPhotoItemsMgr store;
    fuzz::Sink sink(img.stopAt);
    auto* op = new CRawScanPhoto(&mp.part, &alloc, &store);
    op->Do(&sink);
    op->Release();
    fuzz::CheckItems(store, false);

    // Every photo lies in free sectors of the partition.
    for (int c = 0; c < kPhotoCategoryCount; ++c) {
        int n = store.GetItems(c, 0, 0, nullptr);
        std::vector<PhotoItem*> items(static_cast<size_t>(n));
        if (n) store.GetItems(c, 0, n, items.data());
        for (PhotoItem* item : items) {
            const PhotoRun& r = item->runs[0];
            FUZZ_CHECK(item->origin == RawScan && item->runs.size() == 2);
            FUZZ_CHECK(r.volumeSector >= 0 && r.sectorCount > 0);
            FUZZ_CHECK(static_cast<uint64_t>(r.volumeSector + r.sectorCount) <= sectors);
            FUZZ_CHECK(r.sectorCount <= CRawScanPhoto::kMaxPhotoSectors);
            FUZZ_CHECK(alloc.IsFree(r.volumeSector, r.sectorCount));
        }
    }
    return 0;
}
