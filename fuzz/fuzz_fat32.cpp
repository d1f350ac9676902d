// A fuzzed FAT32 volume: MountFatVol, then the whole breadth-first walk of
// its directories and files, as the scan runs them: long names, deleted
// entries and deleted folders (whose clusters can point anywhere) included.
#include <cstdint>
#include <memory>

#include "filesystem/fatmount.h"
#include "fuzz_support.h"
#include "io/deviceio.h"
#include "io/le.h"
#include "volphotorev/fat_searchphoto.h"
#include "volphotorev/photoitems.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog();
    fuzz::Image img = fuzz::SplitImage(data, size, 512, 16u << 20);
    const uint64_t sectors = fuzz::PartitionSectors(img, le::u32(*img.bytes, 32));
    fuzz::MemoryPartition mp(img, 0, sectors);
    CVolDevice device(&mp.disk, 0);

    std::unique_ptr<FatVolume> vol = MountFatVol(&device, static_cast<int64_t>(sectors));
    if (!vol) return 0;
    FUZZ_CHECK(vol->fat && vol->dbr && vol->dbr->GetRaw());
    FUZZ_CHECK(vol->fat->highestCluster() < vol->fat->entryCount());

    CPhotoItemsMgr store;
    fuzz::Sink sink(img.stopAt);
    auto* op = new CFatSearchPhoto(&mp.part, vol.get(), &store);
    op->Do(&sink);
    op->Release();
    fuzz::CheckItems(store, false, sectors);
    return 0;
}
