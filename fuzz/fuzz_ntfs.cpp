// A fuzzed NTFS volume: NtfsMount (boot sector, record 0 from the mirror,
// the system files' runlists), the $Bitmap data, then the whole walk of the
// MFT in batches, the records no longer in use included.
#include <algorithm>
#include <cstdint>
#include <vector>
#include <memory>

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

    // The cluster bitmap, as the scan task reads it, so that deleted records
    // are looked at too (no more of it than the fuzzed volume's clusters need).
    std::vector<uint8_t> bitmap;
    const int64_t stored = NtfsBitmapBytes(vol.get());
    if (stored > 0 && vol->numberOfClusters > 0 && vol->clusterSize > 0) {
        const uint64_t bytes = std::min<uint64_t>(static_cast<uint64_t>(stored),
                                                  (static_cast<uint64_t>(vol->numberOfClusters) + 7) / 8);
        const uint64_t clusters = (bytes + vol->clusterSize - 1) / vol->clusterSize;
        if (clusters * vol->clusterSize <= (16u << 20)) {
            bitmap.assign(clusters * vol->clusterSize, 0);
            if (NtfsReadRl(0, static_cast<int64_t>(clusters), vol->bitmapRunlist, &device, vol.get(), bitmap) == 0)
                bitmap.resize(bytes);
            else
                bitmap.clear();
        }
    }

    CPhotoItemsMgr store;
    fuzz::Sink sink(img.stopAt);
    auto* op = new CNtfsSearchPhoto(&mp.part, &device, vol.get(), &store);
    op->SetClusterBitmap(bitmap);
    op->Do(&sink);
    op->Release();
    fuzz::CheckItems(store, true, sectors);
    NtfsUnmount(std::move(vol));
    return 0;
}
