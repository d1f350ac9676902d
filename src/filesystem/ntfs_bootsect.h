// The NTFS boot sector: the volume's geometry.
#pragma once

#include <cstdint>
#include <span>

struct NtfsVolume;

// Boot sector fields read (offsets into sector 0).
constexpr size_t NTFS_BS_BYTES_PER_SECTOR = 11;           // uint16
constexpr size_t NTFS_BS_SECTORS_PER_CLUSTER = 13;        // uint8
constexpr size_t NTFS_BS_NUMBER_OF_SECTORS = 40;          // int64
constexpr size_t NTFS_BS_MFT_LCN = 48;                    // int64
constexpr size_t NTFS_BS_MFTMIRR_LCN = 56;                // int64
constexpr size_t NTFS_BS_CLUSTERS_PER_MFT_RECORD = 64;    // int8, negative n: 2^-n bytes
constexpr size_t NTFS_BS_CLUSTERS_PER_INDX_RECORD = 68;   // int8, same rule

// Fills the volume's geometry (sector, cluster and record sizes with their
// log2, numberOfSectors and numberOfClusters, mftLcn, mftMirrLcn,
// mftMirrSize) from a 512-byte boot sector. 0 when it describes a usable
// volume, -1 otherwise (logged at the DEBUG level). Sizes are bounded here,
// before anything is allocated from them: sectors of 512 to 4096 bytes,
// clusters of at most 128 sectors, file records of 512 bytes to 64 KiB.
int ntfs_boot_sector_parse(std::span<const uint8_t> bootSector, NtfsVolume* volume);
