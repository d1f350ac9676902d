// A fuzzed NTFS volume: NtfsMount (boot sector, record 0 from the mirror,
// the system files' runlists), the map of used sectors read from $Bitmap a
// cluster at a time, then the whole walk of the MFT in batches, the records
// no longer in use included (their clusters judged by that map).
#include <cstdint>
#include <memory>

#include "filesystem/allocsources.h"
#include "filesystem/ntfs_mount.h"
#include "filesystem/ntfs_rl.h"
#include "fuzz_support.h"
#include "io/deviceio.h"
#include "io/le.h"
#include "volphotorev/ntfs_searchphoto.h"
#include "volphotorev/photoitems.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog();
    fuzz::Image img = fuzz::SplitImage(data, size, 512, 16u << 20);
    // The boot sector counts its own sectors, the partition one more (the
    // backup boot sector), in 512-byte sectors.
    uint64_t claimed = le::u64(*img.bytes, 40);
    const uint16_t bps = le::u16(*img.bytes, 11);
    if (bps > 512 && bps <= 4096 && (bps & (bps - 1)) == 0) claimed = claimed > (UINT64_MAX >> 3) ? UINT64_MAX : claimed * (bps / 512);
    const uint64_t sectors = fuzz::PartitionSectors(img, claimed == UINT64_MAX ? claimed : claimed + 1);
    fuzz::MemoryPartition mp(img, 0, sectors);
    CVolDevice device(&mp.disk, 0);

    std::unique_ptr<NtfsVolume> vol = NtfsMount(&device, static_cast<int64_t>(sectors));
    if (!vol) return 0;
    FUZZ_CHECK(!vol->mftRunlist.empty() && vol->mftRunlist.back().length == 0);
    FUZZ_CHECK(!vol->bitmapRunlist.empty() && vol->bitmapRunlist.back().length == 0);

    CAlloUnitMgr map(static_cast<int64_t>(CAlloUnitMgr::kPieceBytes));
    const bool mapped =
        map.InitFromSource(static_cast<int64_t>(sectors), MakeNtfsAllocSource(&device, vol.get(), 1)) == 0;
    if (mapped) {
        const int64_t f = map.NextFree(0, static_cast<int64_t>(sectors));
        FUZZ_CHECK(f >= 0 && f <= static_cast<int64_t>(sectors));
        FUZZ_CHECK(map.NextUsed(f, static_cast<int64_t>(sectors)) >= f);
    }

    CPhotoItemsMgr store;
    fuzz::Sink sink(img.stopAt);
    auto* op = new CNtfsSearchPhoto(&mp.part, &device, vol.get(), &store);
    if (mapped) op->SetAllocationMap(&map);
    op->Do(&sink);
    op->Release();
    fuzz::CheckItems(store, true, sectors);
    NtfsUnmount(std::move(vol));
    return 0;
}
