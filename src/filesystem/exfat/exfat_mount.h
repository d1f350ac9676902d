// A mounted exFAT volume: its boot region, FAT, allocation bitmap and the
// cluster arithmetic over them. The volume's own sectors may be 512 to 4096
// bytes; everything handed out here counts 512-byte sectors of the device,
// whose sector 0 is the volume's first sector.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

class IDevice;
class IAlloUnitSource;

// FAT entry values.
constexpr uint32_t EXFAT_FREE = 0;
constexpr uint32_t EXFAT_BAD_CLUSTER = 0xFFFFFFF7;
constexpr uint32_t EXFAT_END_OF_CHAIN = 0xFFFFFFFF;
// Clusters are numbered from 2; a volume has at most this many.
constexpr uint32_t EXFAT_MAX_CLUSTERS = 0xFFFFFFF5;
// Sectors 0-11 hold the main boot region, 12-23 its backup (volume sectors).
constexpr uint32_t EXFAT_BOOT_REGION_SECTORS = 12;
constexpr uint32_t EXFAT_BACKUP_BOOT_SECTOR = 12;

// The main boot sector's fields (volume sectors, as stored).
struct ExfatBootSector {
    uint64_t partitionOffset = 0;     // offset 64: media sectors before the volume (informative)
    uint64_t volumeLength = 0;        // offset 72: volume sectors
    uint32_t fatOffset = 0;           // offset 80: first sector of the first FAT
    uint32_t fatLength = 0;           // offset 84: sectors of one FAT
    uint32_t clusterHeapOffset = 0;   // offset 88: first sector of cluster 2
    uint32_t clusterCount = 0;        // offset 92
    uint32_t rootCluster = 0;         // offset 96: first cluster of the root folder
    uint32_t serial = 0;              // offset 100
    uint16_t revision = 0;            // offset 104: 0x0100 for 1.00
    uint16_t volumeFlags = 0;         // offset 106: bit 0 the second FAT is active
    uint8_t bytesPerSectorShift = 0;  // offset 108: 9 to 12
    uint8_t sectorsPerClusterShift = 0;  // offset 109: bytes per cluster at most 32 MiB
    uint8_t fatCount = 0;             // offset 110: 1, or 2 (TexFAT)
    uint8_t percentInUse = 0;         // offset 112: 0-100, or 0xFF when unknown
};

// Reads and checks a main or backup boot sector (one volume sector, at least
// 512 bytes). `partitionSectors` (512-byte units, 0 = unknown) bounds the
// volume. Null when the sector is a usable exFAT boot sector, else what is
// wrong with it.
const char* ParseExfatBootSector(std::span<const uint8_t> sector, int64_t partitionSectors, ExfatBootSector& out);

// The boot checksum of sectors 0-10 of a boot region (`region` holds at least
// 11 * sectorBytes bytes): every byte but VolumeFlags and PercentInUse.
uint32_t ExfatBootChecksum(std::span<const uint8_t> region, size_t sectorBytes);

// One run of clusters of a file or folder.
struct ExfatClusterRun {
    uint64_t fileCluster = 0;  // index of the run's first cluster within the stream
    uint32_t cluster = 0;      // first cluster number
    uint32_t count = 0;        // clusters, > 0
};

class ExfatVolume {
public:
    ExfatVolume(const ExfatVolume&) = delete;
    ExfatVolume& operator=(const ExfatVolume&) = delete;
    ~ExfatVolume();

    // Reads the boot region (the backup at sector 12 when the main one is
    // damaged), checks it and reads the allocation bitmap through the root
    // folder. The device is borrowed and must outlive the volume;
    // `partitionSectors` is the partition's length in 512-byte sectors (0 =
    // unknown). Null when the volume is not usable (logged).
    static std::unique_ptr<ExfatVolume> Mount(IDevice* device, int64_t partitionSectors);

    IDevice* Device() const { return m_device; }
    const ExfatBootSector& Boot() const { return m_boot; }
    // True when the main boot region was damaged and the backup was used.
    bool UsedBackupBootRegion() const { return m_usedBackup; }

    // Clusters the volume has: numbered 2 to ClusterCount() + 1, all of
    // whose sectors lie inside the partition.
    uint32_t ClusterCount() const { return m_clusters; }
    bool ValidCluster(uint64_t c) const { return c >= 2 && c - 2 < m_clusters; }
    uint64_t BytesPerCluster() const { return m_clusterBytes; }
    // 512-byte sectors per cluster (at least 1).
    uint64_t SectorsPerCluster() const { return m_clusterBytes / 512; }
    // First 512-byte sector of the cluster heap.
    uint64_t HeapSector() const { return m_heapSector; }
    // First 512-byte sector of a valid cluster.
    uint64_t ClusterToSector(uint32_t c) const { return m_heapSector + uint64_t{c - 2} * SectorsPerCluster(); }
    // 512-byte sectors from the volume's start to the end of the last FAT.
    uint64_t FatEndSector() const { return m_fatEndSector; }

    // The FAT entry of a valid cluster, read from the active FAT as needed.
    // 0, or -1 for an invalid cluster or an unreadable FAT sector.
    int GetFatEntry(uint32_t cluster, uint32_t& value);

    // The allocation bitmap: bit c - 2 (least significant bit first) is set
    // when cluster c is in use. ClusterCount() bits; bits of clusters the
    // stored bitmap does not reach read as used.
    std::span<const uint8_t> Bitmap() const { return m_bitmap; }
    bool IsAllocated(uint32_t cluster) const;
    // Clusters whose bit is set.
    uint64_t AllocatedClusters() const { return m_allocated; }
    // First cluster and bytes of the bitmap's stream, and of the up-case table.
    uint32_t BitmapFirstCluster() const { return m_bitmapCluster; }
    uint64_t BitmapBytes() const { return m_bitmapStreamBytes; }

    // The clusters of a stream of `bytes` bytes from `firstCluster`: one run
    // when `noFatChain` (the clusters follow each other), else the FAT chain.
    // 0; 1 when the chain ends early (the runs stop there); -1 when the
    // stream leaves the volume, its chain breaks (a free, bad or out-of-range
    // entry) or a FAT sector cannot be read. With `claimed` (one flag per
    // cluster number, grown as needed), every cluster taken is flagged, and
    // one flagged already (a loop, or a cluster of another stream) is -1.
    int StreamRuns(uint32_t firstCluster, uint64_t bytes, bool noFatChain, std::vector<ExfatClusterRun>& runs,
                   std::vector<bool>* claimed = nullptr);
    // Reads `count` clusters from `cluster` into `out` (count * cluster
    // bytes). 0, or -1 when they leave the volume.
    int ReadClusters(uint32_t cluster, uint32_t count, uint8_t* out);
    // Reads a stream's first `bytes` bytes through its runs into `out`
    // (resized). 0, or -1 as StreamRuns; a chain cut short gives fewer bytes.
    int ReadStream(uint32_t firstCluster, uint64_t bytes, bool noFatChain, std::vector<uint8_t>& out,
                   std::vector<bool>* claimed = nullptr);

private:
    explicit ExfatVolume(IDevice* device) : m_device(device) {}
    int ReadBootRegion(int64_t partitionSectors);
    int ReadBitmap();

    IDevice* m_device;  // not owned
    ExfatBootSector m_boot;
    bool m_usedBackup = false;
    uint32_t m_clusters = 0;
    uint64_t m_clusterBytes = 0;
    uint64_t m_sectorUnit = 1;    // 512-byte sectors per volume sector
    uint64_t m_heapSector = 0;
    uint64_t m_fatSector = 0;     // first sector of the active FAT
    uint64_t m_fatEndSector = 0;

    // The FAT is read in pages as the walk needs it: files stored in one
    // piece never look at it, and a 128 GiB card's 16 MiB FAT is not held.
    struct FatPage {
        bool loaded = false;
        bool readable = false;
        std::unique_ptr<uint32_t[]> entries;
    };
    std::vector<FatPage> m_fatPages;

    std::vector<uint8_t> m_bitmap;  // (ClusterCount() + 7) / 8 bytes
    uint64_t m_allocated = 0;
    uint32_t m_bitmapCluster = 0;
    uint64_t m_bitmapStreamBytes = 0;
};

// The used 512-byte sectors of an exFAT volume, for the allocation map: everything before the cluster heap (boot regions, FATs)
// and every cluster whose bit is set in the allocation bitmap. Sectors past
// the last cluster count as free. The volume is borrowed and must outlive
// the source.
std::unique_ptr<IAlloUnitSource> MakeExfatAllocSource(const ExfatVolume& volume);
