#include "filesystem/ntfs_mount.h"

#include <array>
#include <new>

#include "filesystem/ntfs_bootsect.h"
#include "filesystem/ntfs_filerecord.h"
#include "io/deviceio.h"
#include "io/le.h"
#include "io/log.h"

namespace {

constexpr int64_t kMftMirrRecord = 1;
constexpr int64_t kBitmapRecord = 6;

}  // namespace

std::unique_ptr<NtfsVolume> NtfsMount(IDevice* dev, int64_t partitionSectors) {
    if (!dev) return nullptr;
    std::array<uint8_t, SECTOR_SIZE> boot{};
    if (dev->ReadSectors(0, 1, boot.data()) == 0) {
        LOG_E("%s", "Read Ntfs Boot Sector failed. \n");
        return nullptr;
    }

    std::unique_ptr<NtfsVolume> vol(new (std::nothrow) NtfsVolume());
    if (!vol) {
        LOG_E("%s", "Out of Memory! \n");
        return nullptr;
    }
    if (ntfs_boot_sector_parse(boot, vol.get()) < 0) {
        LOG_E("%s", "Invalid volume");
        return nullptr;
    }
    vol->majorVersion = 3;
    vol->minorVersion = 1;

    // The boot sector counts the volume's own sectors; the partition 512-byte ones.
    int64_t sectors = static_cast<int64_t>(le::u64(boot, NTFS_BS_NUMBER_OF_SECTORS));
    int64_t partSectors = partitionSectors < 0 ? 0 : partitionSectors >> (vol->sectorSizeBits - 9);
    vol->numberOfSectors = sectors > partSectors ? partSectors - 1 : sectors;
    if (vol->numberOfSectors < 0) vol->numberOfSectors = 0;
    vol->numberOfClusters = vol->numberOfSectors / (vol->clusterSize / vol->sectorSize);

    // Record 0 is taken from the mirror: the copy in $MFT is the one more
    // likely to be damaged, and its runlist is what locates every other record.
    vol->mftRecord = NtfsReadRecordFromMftMirr(vol.get(), dev);
    if (vol->mftRecord.empty()) {
        LOG_E("%s", "Read Mft Record failed. \n");
        return nullptr;
    }
    if (ntfs_mst_post_read_fixup(vol->mftRecord) < 0) {
        LOG_E("%s", "ntfs_mst_post_read_fixup Mft failed. \n");
        return nullptr;
    }
    vol->mftBitmap = NtfsFindAttr(vol->mftRecord, NTFS_AT_BITMAP);
    vol->mftData = NtfsFindAttr(vol->mftRecord, NTFS_AT_DATA);
    if (vol->mftBitmap.empty() || vol->mftData.empty()) {
        LOG_E("%s", "Find Mft Data and Bitmap Attr failed. \n");
        return nullptr;
    }
    vol->mftRunlist = ntfs_mapping_pairs_decompress(vol.get(), vol->mftData);
    if (vol->mftRunlist.empty() || vol->mftRunlist[0].lcn != vol->mftLcn) {
        LOG_E("%s", "ntfs_mapping_pairs_decompress failed. \n");
        return nullptr;
    }
    vol->mftBitmapRunlist = ntfs_mapping_pairs_decompress(vol.get(), vol->mftBitmap);
    if (vol->mftBitmapRunlist.empty()) {
        LOG_E("%s", "ntfs_mapping_pairs_decompress failed. \n");
        return nullptr;
    }

    // A system file's record read through the $MFT runlist and fixed up;
    // empty on failure, after logging with that record's messages.
    auto readSystemRecord = [&](int64_t number, const char* fixupMsg) -> std::vector<uint8_t> {
        std::vector<uint8_t> rec = NtfsReadRecordFromMft(dev, vol->mftRunlist, vol.get(), number);
        if (rec.empty()) {
            LOG_E("NtfsReadRecordFromMft failed, Mft: %d \n", static_cast<int>(number));
            return {};
        }
        if (ntfs_mst_post_read_fixup(rec) < 0) {
            LOG_E("%s", fixupMsg);
            return {};
        }
        return rec;
    };

    vol->mftMirrRecord = readSystemRecord(kMftMirrRecord, "ntfs_mst_post_read_fixup MftMirr failed. \n");
    if (vol->mftMirrRecord.empty()) return nullptr;
    vol->mftMirrData = NtfsFindAttr(vol->mftMirrRecord, NTFS_AT_DATA);
    if (vol->mftMirrData.empty()) {
        LOG_E("%s", "Find MftMirr Data failed. \n");
        return nullptr;
    }
    vol->mftMirrRunlist = ntfs_mapping_pairs_decompress(vol.get(), vol->mftMirrData);
    if (vol->mftMirrRunlist.empty() || vol->mftMirrRunlist[0].lcn != vol->mftMirrLcn) {
        LOG_E("%s", "ntfs_mapping_pairs_decompress failed. \n");
        return nullptr;
    }

    vol->bitmapRecord = readSystemRecord(kBitmapRecord, "ntfs_mst_post_read_fixup Bitmap failed. \n");
    if (vol->bitmapRecord.empty()) return nullptr;
    vol->bitmapData = NtfsFindAttr(vol->bitmapRecord, NTFS_AT_DATA);
    if (vol->bitmapData.empty()) {
        LOG_E("%s", "Find Bitmap Data Attr failed. \n");
        return nullptr;
    }
    vol->bitmapRunlist = ntfs_mapping_pairs_decompress(vol.get(), vol->bitmapData);
    if (vol->bitmapRunlist.empty()) {
        LOG_E("%s", "ntfs_mapping_pairs_decompress failed. \n");
        return nullptr;
    }
    return vol;
}

void NtfsUnmount(std::unique_ptr<NtfsVolume> volume) { volume.reset(); }

int64_t NtfsBitmapBytes(const NtfsVolume* volume) {
    if (!volume || volume->bitmapData.empty()) return 0;
    int64_t bytes = static_cast<int64_t>(le::u64(volume->bitmapData, NTFS_ATTR_DATA_SIZE));
    return bytes < 0 ? 0 : bytes;
}
