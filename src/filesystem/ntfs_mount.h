// A mounted NTFS volume: its geometry and the system files the scan needs.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "filesystem/ntfs_rl.h"

class IDevice;

// Filled by NtfsMount and never changed afterwards. Sectors are the volume's
// own (sectorSize bytes); the device is always addressed in 512-byte sectors.
// The attribute spans point into the record buffers beside them, so a volume
// is neither copied nor moved.
struct NtfsVolume {
    NtfsVolume() = default;
    NtfsVolume(const NtfsVolume&) = delete;
    NtfsVolume& operator=(const NtfsVolume&) = delete;

    uint8_t majorVersion = 0;       // 3 once mounted
    uint8_t minorVersion = 0;       // 1 once mounted
    int64_t numberOfSectors = 0;    // boot sector's count, capped by the partition
    uint16_t sectorSize = 0;        // bytes: 512, 1024, 2048 or 4096
    uint8_t sectorSizeBits = 0;
    uint32_t clusterSize = 0;       // bytes, a power of two from 512 to 512 KiB
    uint32_t mftRecordSize = 0;     // bytes, a power of two from 512 to 64 KiB
    uint32_t indxRecordSize = 0;    // bytes
    uint8_t clusterSizeBits = 0;
    uint8_t mftRecordSizeBits = 0;
    uint8_t indxRecordSizeBits = 0;

    std::vector<uint8_t> bitmapRecord;      // file record 6 ($Bitmap), fixed up
    std::span<const uint8_t> bitmapData;    // its $DATA attribute
    Runlist bitmapRunlist;                  // where the cluster bitmap lies
    int64_t numberOfClusters = 0;           // volume length in clusters

    std::vector<uint8_t> mftRecord;         // file record 0 ($MFT), from the mirror
    std::span<const uint8_t> mftData;       // its $DATA attribute
    std::span<const uint8_t> mftBitmap;     // its $BITMAP attribute
    Runlist mftRunlist;                     // where the file records lie
    Runlist mftBitmapRunlist;
    int64_t mftLcn = 0;                     // from the boot sector

    std::vector<uint8_t> mftMirrRecord;     // file record 1 ($MFTMirr)
    std::span<const uint8_t> mftMirrData;
    Runlist mftMirrRunlist;
    int64_t mftMirrLcn = 0;                 // from the boot sector
    uint32_t mftMirrSize = 0;               // records kept in the mirror: 4
};

// Mounts the NTFS volume that `device` presents from its sector 0.
// `partitionSectors` is the partition's length in 512-byte sectors. Reads
// only; the device stays the caller's. Null when the volume is not usable
// (the reason is logged).
std::unique_ptr<NtfsVolume> NtfsMount(IDevice* device, int64_t partitionSectors);

// Releases a mounted volume (null allowed).
void NtfsUnmount(std::unique_ptr<NtfsVolume> volume);

// Length in bytes of the $Bitmap data: one bit per cluster, bit i of byte
// i / 8 set when cluster i is in use. Read it with NtfsReadRl through
// bitmapRunlist; bits at and past numberOfClusters mean nothing.
int64_t NtfsBitmapBytes(const NtfsVolume* volume);
