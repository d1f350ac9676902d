// A fuzzed NTFS volume: NtfsMount (boot sector, record 0 from the mirror,
// the system files' runlists), then the whole walk of the MFT in batches.
#include <cstdint>
#include <memory>

#include "filesystem/ntfs_mount.h"
#include "filesystem/ntfs_rl.h"
#include "fuzz_support.h"
#include "io/deviceio.h"
#include "volphotorev/ntfs_searchphoto.h"
#include "volphotorev/photoitems.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog();
    fuzz::Image img = fuzz::SplitImage(data, size, 512, 16u << 20);
    const uint64_t sectors = img.Sectors();
    fuzz::MemoryPartition mp(img, 0, sectors);
    CVolDevice device(&mp.disk, 0);

    std::unique_ptr<NtfsVolume> vol = NtfsMount(&device, static_cast<int64_t>(sectors));
    if (!vol) return 0;
    FUZZ_CHECK(!vol->mftRunlist.empty() && vol->mftRunlist.back().length == 0);
    FUZZ_CHECK(!vol->bitmapRunlist.empty() && vol->bitmapRunlist.back().length == 0);

    CPhotoItemsMgr store;
    fuzz::Sink sink(img.stopAt);
    auto* op = new CNtfsSearchPhoto(&mp.part, &device, vol.get(), &store);
    op->Do(&sink);
    op->Release();
    fuzz::CheckItems(store, true);
    NtfsUnmount(std::move(vol));
    return 0;
}
