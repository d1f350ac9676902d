// ReadPhotoData on fuzzed run lists: a photo item whose runs (sector in the
// photo, sector in the partition, sectors) come from the input, read from a
// partition of a memory disk into a buffer of exactly the size given, so a
// run that would land past it is caught.
//
// Input: bytes 0-3 buffer size (u32, at most 1 MiB), byte 4 number of runs R
// (its low six bits, at most 32; its top bit makes the photo one NTFS keeps
// compressed, in units of 16 clusters of 4 KiB), R runs of three int64, then
// the partition's first sector (u16), then the disk image (layout of fuzz_support.h).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "io/le.h"
#include "taskmgr/taskmgr.h"
#include "volphotorev/photoitems.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog();
    le::Bytes in(data, size);
    if (size < 5) return 0;
    uint32_t bufferSize = std::min<uint32_t>(le::u32(in, 0), 1u << 20);
    size_t runs = std::min<size_t>(le::u8(in, 4) & 0x3F, 32);
    const bool compressed = le::u8(in, 4) & 0x80;
    size_t pos = 5;
    if (size < pos + runs * 24 + 2) return 0;

    PhotoItem item;
    item.name = u"fuzz.jpg";
    if (compressed) item.compressionUnit = 128;
    for (size_t i = 0; i < runs; ++i, pos += 24) {
        PhotoRun r;
        r.fileSector = static_cast<int64_t>(le::u64(in, pos));
        r.volumeSector = static_cast<int64_t>(le::u64(in, pos + 8));
        r.sectorCount = static_cast<int64_t>(le::u64(in, pos + 16));
        item.runs.push_back(r);
    }
    uint64_t off = le::u16(in, pos);
    pos += 2;

    fuzz::Image img = fuzz::SplitImage(data + pos, size - pos, 512, 4u << 20);
    off = std::min<uint64_t>(off, img.Sectors());
    fuzz::MemoryPartition mp(img, off, img.Sectors() - off);

    // The buffer is exactly as large as the caller says: AddressSanitizer
    // sees any byte written past it.
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[bufferSize ? bufferSize : 1]);
    CTaskMgr mgr;
    int r = mgr.ReadPhotoData(&item, &mp.part, buffer.get(), bufferSize);
    FUZZ_CHECK(r == 0 || r == -1);
    FUZZ_CHECK(mgr.ReadPhotoData(nullptr, &mp.part, buffer.get(), bufferSize) == -1);
    FUZZ_CHECK(mgr.ReadPhotoData(&item, &mp.part, nullptr, bufferSize) == -1);
    return 0;
}
