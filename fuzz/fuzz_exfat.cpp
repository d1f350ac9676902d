// A fuzzed exFAT volume: the boot region (main and backup), the root folder
// and its allocation bitmap, then the whole walk of live and deleted entry
// sets and the map of used sectors, as the scan runs them.
#include <cstdint>
#include <memory>

#include "filesystem/allounitmgr.h"
#include "filesystem/exfat/exfat_mount.h"
#include "fuzz_support.h"
#include "io/deviceio.h"
#include "io/le.h"
#include "taskmgr/recoverphoto_task.h"
#include "volphotorev/exfat_searchphoto.h"
#include "volphotorev/photoitems.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog();
    fuzz::Image img = fuzz::SplitImage(data, size, 24 * 512, 16u << 20);
    const uint8_t shift = le::u8(*img.bytes, 108);
    const uint64_t unit = shift >= 9 && shift <= 12 ? uint64_t{1} << (shift - 9) : 1;
    const uint64_t sectors = fuzz::PartitionSectors(img, le::u32(*img.bytes, 72) * unit);
    fuzz::MemoryPartition mp(img, 0, sectors);
    CVolDevice device(&mp.disk, 0);

    std::unique_ptr<ExfatVolume> vol = ExfatVolume::Mount(&device, static_cast<int64_t>(sectors));
    if (!vol) return 0;
    FUZZ_CHECK(vol->ClusterCount() > 0);
    FUZZ_CHECK(vol->HeapSector() + uint64_t{vol->ClusterCount()} * vol->SectorsPerCluster() <= sectors);
    FUZZ_CHECK(vol->Bitmap().size() == (uint64_t{vol->ClusterCount()} + 7) / 8);
    FUZZ_CHECK(vol->AllocatedClusters() <= vol->ClusterCount());

    CPhotoItemsMgr store;
    fuzz::Sink sink(img.stopAt);
    auto* op = new CExfatSearchPhoto(&mp.part, vol.get(), &store);
    op->Do(&sink);
    const auto deleted = op->TakeDeletedSectors();
    op->Release();
    fuzz::CheckItems(store, false, sectors);

    CAlloUnitMgr map;
    FUZZ_CHECK(map.InitFree(static_cast<int64_t>(sectors)) == 0);
    CRecoverPhotoTask::FillFromExfat(map, *vol);
    FUZZ_CHECK(CRecoverPhotoTask::MarkDeletedPhotosUsed(map, deleted) >= 0);
    // What the file system holds is never scanned as free.
    FUZZ_CHECK(sectors == 0 || map.IsUsed(0, static_cast<int64_t>(std::min<uint64_t>(vol->HeapSector(), sectors))));
    return 0;
}
