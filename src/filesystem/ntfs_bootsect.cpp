#include "filesystem/ntfs_bootsect.h"

#include <bit>

#include "filesystem/ntfs_mount.h"
#include "io/le.h"
#include "io/log.h"

namespace {

// Stands where a device name would in the geometry messages.
constexpr const char* kDevName = "vol->dev->d_name";

uint8_t LowestSetBit(uint64_t v) { return v == 0 ? 255 : static_cast<uint8_t>(std::countr_zero(v)); }

bool IsPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// Bytes of a record from its boot-sector byte: negative n means 2^-n bytes,
// otherwise that many clusters. 0 when it does not fit 32 bits.
uint64_t RecordBytes(int8_t c, uint8_t clusterSizeBits) {
    if (c < 0) return -c < 32 ? uint64_t{1} << -c : 0;
    return static_cast<uint64_t>(c) << clusterSizeBits;
}

}  // namespace

int ntfs_boot_sector_parse(std::span<const uint8_t> bs, NtfsVolume* vol) {
    if (!vol || bs.size() < 512) return -1;

    vol->sectorSize = le::u16(bs, NTFS_BS_BYTES_PER_SECTOR);
    vol->sectorSizeBits = LowestSetBit(vol->sectorSize);
    LOG_D("SectorSize = 0x%x\n", vol->sectorSize);
    LOG_D("SectorSizeBits = %u\n", vol->sectorSizeBits);
    int64_t sectors = static_cast<int64_t>(le::u64(bs, NTFS_BS_NUMBER_OF_SECTORS));
    LOG_D("NumberOfSectors = %lli\n", static_cast<long long>(sectors));
    // The device counts 512-byte sectors; larger ones are whole multiples of them.
    if (vol->sectorSize < 512 || vol->sectorSize > 4096 || !IsPowerOfTwo(vol->sectorSize)) {
        LOG_D("Error: %s is not a valid NTFS partition! sector_size is not supported.\n", kDevName);
        return -1;
    }

    uint8_t spc = le::u8(bs, NTFS_BS_SECTORS_PER_CLUSTER);
    LOG_D("SectorsPerCluster = 0x%x\n", spc);
    if (!IsPowerOfTwo(spc)) {
        LOG_D("%s", "Error: volume is not a valid NTFS partition! sectors_per_cluster is not a power of 2.\n");
        return -1;
    }
    vol->numberOfClusters = sectors >> std::countr_zero(spc);
    vol->mftLcn = static_cast<int64_t>(le::u64(bs, NTFS_BS_MFT_LCN));
    vol->mftMirrLcn = static_cast<int64_t>(le::u64(bs, NTFS_BS_MFTMIRR_LCN));
    LOG_D("MFT LCN = 0x%llx\n", static_cast<unsigned long long>(vol->mftLcn));
    LOG_D("MFTMirr LCN = 0x%llx\n", static_cast<unsigned long long>(vol->mftMirrLcn));
    // Negative cluster numbers would address sectors before the volume.
    if (vol->mftLcn > vol->numberOfClusters || vol->mftMirrLcn > vol->numberOfClusters || vol->mftLcn < 0 ||
        vol->mftMirrLcn < 0) {
        LOG_D("Error: %s is not a valid NTFS partition!\n", kDevName);
        LOG_D("%s", "($Mft LCN or $MftMirr LCN is greater than the number of clusters!)\n");
        return -1;
    }

    vol->clusterSize = static_cast<uint32_t>(spc) * vol->sectorSize;
    LOG_D("ClusterSize = 0x%x\n", vol->clusterSize);
    if (!IsPowerOfTwo(vol->clusterSize)) {
        LOG_D("Error: %s is not a valid NTFS partition! cluster_size is not a power of 2.\n", kDevName);
        return -1;
    }
    vol->clusterSizeBits = LowestSetBit(vol->clusterSize);
    LOG_D("ClusterSizeBits = %u\n", vol->clusterSizeBits);

    int8_t perMft = static_cast<int8_t>(le::u8(bs, NTFS_BS_CLUSTERS_PER_MFT_RECORD));
    LOG_D("ClustersPerMftRecord = 0x%x\n", static_cast<uint8_t>(perMft));
    uint64_t mftBytes = RecordBytes(perMft, vol->clusterSizeBits);
    vol->mftRecordSize = static_cast<uint32_t>(mftBytes);
    LOG_D("MftRecordSize = 0x%x\n", vol->mftRecordSize);
    if (!IsPowerOfTwo(mftBytes)) {
        LOG_D("Error: %s is not a valid NTFS partition! mft_record_size is not a power of 2.\n", kDevName);
        return -1;
    }
    if (mftBytes < 512 || mftBytes > 65536) {
        LOG_D("Error: %s is not a valid NTFS partition! mft_record_size is out of range.\n", kDevName);
        return -1;
    }
    vol->mftRecordSizeBits = LowestSetBit(mftBytes);
    LOG_D("MftRecordSizeBits = %u\n", vol->mftRecordSizeBits);

    // Index records are not used by the scan: no test beyond fitting 32 bits.
    int8_t perIndx = static_cast<int8_t>(le::u8(bs, NTFS_BS_CLUSTERS_PER_INDX_RECORD));
    LOG_D("ClustersPerINDXRecord = 0x%x\n", static_cast<uint8_t>(perIndx));
    uint64_t indxBytes = RecordBytes(perIndx, vol->clusterSizeBits);
    vol->indxRecordSize = indxBytes <= UINT32_MAX ? static_cast<uint32_t>(indxBytes) : 0;
    vol->indxRecordSizeBits = LowestSetBit(vol->indxRecordSize);
    LOG_D("INDXRecordSize = 0x%x\n", vol->indxRecordSize);
    LOG_D("INDXRecordSizeBits = %u\n", vol->indxRecordSizeBits);

    vol->mftMirrSize = 4;
    return 0;
}
