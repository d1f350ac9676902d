// A fuzzed FAT12, FAT16 or FAT32 volume: MountFatVol, then the whole breadth-first walk of
// its directories and files, as the scan runs them (long names, deleted
// entries and deleted folders, whose clusters can point anywhere, included),
// and the map of used sectors read from its FAT. Inputs whose first byte is
// odd mount with the FAT left on the device, read a page at a time.
#include <cstdint>
#include <memory>

#include "filesystem/allocsources.h"
#include "filesystem/fatmount.h"
#include "fuzz_support.h"
#include "io/deviceio.h"
#include "io/le.h"
#include "volphotorev/fat_searchphoto.h"
#include "volphotorev/photoitems.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog();
    fuzz::Image img = fuzz::SplitImage(data, size, 512, 16u << 20);
    // The total sectors: the 16-bit field when it is not 0 (small FAT12/16 volumes), else the 32-bit one.
    const uint16_t total16 = le::u16(*img.bytes, 19);
    const uint64_t sectors = fuzz::PartitionSectors(img, total16 != 0 ? total16 : le::u32(*img.bytes, 32));
    fuzz::MemoryPartition mp(img, 0, sectors);
    CVolDevice device(&mp.disk, 0);

    const bool paged = size > 0 && (data[0] & 1);
    std::unique_ptr<FatVolume> vol =
        MountFatVol(&device, static_cast<int64_t>(sectors), paged ? 0 : FAT32_RESIDENT_BYTES);
    if (!vol) return 0;
    FUZZ_CHECK(vol->fat && vol->dbr && vol->dbr->GetRaw());
    FUZZ_CHECK(vol->fat->highestCluster() < vol->fat->entryCount());

    CPhotoItemsMgr store;
    fuzz::Sink sink(img.stopAt);
    auto* op = new CFatSearchPhoto(&mp.part, vol.get(), &store);
    op->Do(&sink);
    op->Release();
    fuzz::CheckItems(store, false, sectors);

    CAlloUnitMgr map(static_cast<int64_t>(CAlloUnitMgr::kPieceBytes));
    if (map.InitFromSource(static_cast<int64_t>(sectors), MakeFatAllocSource(*vol->dbr, *vol->fat,
                                                                             static_cast<int64_t>(sectors))) == 0) {
        const int64_t f = map.NextFree(0, static_cast<int64_t>(sectors));
        FUZZ_CHECK(f >= 0 && f <= static_cast<int64_t>(sectors));
        FUZZ_CHECK(map.NextUsed(f, static_cast<int64_t>(sectors)) >= f);
    }
    return 0;
}
