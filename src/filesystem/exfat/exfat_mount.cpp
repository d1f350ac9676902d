#include "filesystem/exfat/exfat_mount.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "filesystem/allocsources.h"
#include "filesystem/allounitmgr.h"
#include "filesystem/exfat/exfat_dirent.h"
#include "io/deviceio.h"
#include "io/le.h"
#include "io/log.h"

namespace {

// Boot sector layout.
constexpr size_t kFileSystemName = 3;   // "EXFAT   "
constexpr size_t kMustBeZero = 11;      // 53 zero bytes where a FAT boot sector has its BPB
constexpr size_t kMustBeZeroLength = 53;
constexpr size_t kPartitionOffset = 64;  // u64
constexpr size_t kVolumeLength = 72;     // u64
constexpr size_t kFatOffset = 80;        // u32
constexpr size_t kFatLength = 84;        // u32
constexpr size_t kHeapOffset = 88;       // u32
constexpr size_t kClusterCount = 92;     // u32
constexpr size_t kRootCluster = 96;      // u32
constexpr size_t kSerial = 100;          // u32
constexpr size_t kRevision = 104;        // u16
constexpr size_t kVolumeFlags = 106;     // u16
constexpr size_t kBytesPerSectorShift = 108;
constexpr size_t kSectorsPerClusterShift = 109;
constexpr size_t kFatCount = 110;
constexpr size_t kPercentInUse = 112;
constexpr size_t kSignature = 510;       // 0x55 0xAA

constexpr uint16_t kActiveFatFlag = 0x0001;
// Folders hold at most 256 MiB of entries.
constexpr uint64_t kMaxFolderBytes = uint64_t{256} << 20;
// FAT entries per page read at once (64 KiB).
constexpr uint32_t kFatPageEntries = 16384;
// The longest piece of a stream read at once (8 MiB of 512-byte sectors).
constexpr uint64_t kReadChunkSectors = 0x4000;

}  // namespace

const char* ParseExfatBootSector(std::span<const uint8_t> s, int64_t partitionSectors, ExfatBootSector& out) {
    if (s.size() < 512) return "boot sector shorter than 512 bytes";
    if (std::memcmp(s.data() + kFileSystemName, "EXFAT   ", 8) != 0) return "no exFAT name";
    for (size_t i = 0; i < kMustBeZeroLength; ++i)
        if (s[kMustBeZero + i] != 0) return "bytes 11-63 are not zero";
    if (le::u8(s, kSignature) != 0x55 || le::u8(s, kSignature + 1) != 0xAA) return "no 0x55 0xAA signature";

    ExfatBootSector b;
    b.partitionOffset = le::u64(s, kPartitionOffset);
    b.volumeLength = le::u64(s, kVolumeLength);
    b.fatOffset = le::u32(s, kFatOffset);
    b.fatLength = le::u32(s, kFatLength);
    b.clusterHeapOffset = le::u32(s, kHeapOffset);
    b.clusterCount = le::u32(s, kClusterCount);
    b.rootCluster = le::u32(s, kRootCluster);
    b.serial = le::u32(s, kSerial);
    b.revision = le::u16(s, kRevision);
    b.volumeFlags = le::u16(s, kVolumeFlags);
    b.bytesPerSectorShift = le::u8(s, kBytesPerSectorShift);
    b.sectorsPerClusterShift = le::u8(s, kSectorsPerClusterShift);
    b.fatCount = le::u8(s, kFatCount);
    b.percentInUse = le::u8(s, kPercentInUse);

    if (b.bytesPerSectorShift < 9 || b.bytesPerSectorShift > 12) return "bytes per sector not 512 to 4096";
    if (b.sectorsPerClusterShift > 25 - b.bytesPerSectorShift) return "clusters larger than 32 MiB";
    if (b.revision >> 8 != 1) return "file system revision is not 1.x";
    if (b.fatCount != 1 && b.fatCount != 2) return "FAT count is not 1 or 2";
    if (b.fatOffset < 24) return "FAT starts inside the boot regions";
    if (b.fatLength == 0) return "FAT length is 0";
    if (uint64_t{b.clusterHeapOffset} < uint64_t{b.fatOffset} + uint64_t{b.fatCount} * b.fatLength)
        return "cluster heap starts inside the FATs";
    if (b.clusterCount == 0 || b.clusterCount > EXFAT_MAX_CLUSTERS) return "cluster count out of range";
    if (b.volumeLength <= b.clusterHeapOffset) return "volume ends before its cluster heap";
    // The FAT must have an entry for every cluster.
    if ((uint64_t{b.fatLength} << b.bytesPerSectorShift) / 4 < uint64_t{b.clusterCount} + 2)
        return "FAT too short for the cluster count";
    if (b.rootCluster < 2 || b.rootCluster - 2 >= b.clusterCount) return "root folder cluster out of range";
    const uint64_t unit = uint64_t{1} << (b.bytesPerSectorShift - 9);
    if (partitionSectors > 0 && uint64_t{b.clusterHeapOffset} * unit >= static_cast<uint64_t>(partitionSectors))
        return "cluster heap starts past the partition's end";
    out = b;
    return nullptr;
}

uint32_t ExfatBootChecksum(std::span<const uint8_t> region, size_t sectorBytes) {
    uint32_t sum = 0;
    const size_t n = std::min(region.size(), sectorBytes * 11);
    for (size_t i = 0; i < n; ++i) {
        if (i == kVolumeFlags || i == kVolumeFlags + 1 || i == kPercentInUse) continue;
        sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + region[i];
    }
    return sum;
}

ExfatVolume::~ExfatVolume() = default;

namespace {

// Reads `count` 512-byte sectors from `first` into a zeroed buffer; false when
// the device delivers fewer.
bool ReadSectors(IDevice* device, uint64_t first, uint64_t count, uint8_t* out) {
    std::memset(out, 0, count * SECTOR_SIZE);
    for (uint64_t done = 0; done < count;) {
        const uint64_t n = std::min(count - done, kReadChunkSectors);
        if (device->ReadSectors(first + done, n, out + done * SECTOR_SIZE) != n) return false;
        done += n;
    }
    return true;
}

// Checks the boot region whose boot sector is at 512-byte sector `first`:
// null when its boot sector is valid and its checksum sector matches.
const char* CheckRegion(IDevice* device, uint64_t first, int64_t partitionSectors, uint8_t wantShift,
                        ExfatBootSector& out) {
    uint8_t head[SECTOR_SIZE];
    if (!ReadSectors(device, first, 1, head)) return "boot sector unreadable";
    ExfatBootSector b;
    if (const char* why = ParseExfatBootSector(head, partitionSectors, b)) return why;
    if (wantShift && b.bytesPerSectorShift != wantShift) return "sector size differs from the region's place";
    const size_t sectorBytes = size_t{1} << b.bytesPerSectorShift;
    std::vector<uint8_t> region(sectorBytes * EXFAT_BOOT_REGION_SECTORS);
    if (!ReadSectors(device, first, region.size() / SECTOR_SIZE, region.data())) return "boot region unreadable";
    const uint32_t sum = ExfatBootChecksum(region, sectorBytes);
    const size_t checksumSector = sectorBytes * 11;
    for (size_t off = 0; off < sectorBytes; off += 4)
        if (le::u32(region, checksumSector + off) != sum) return "boot checksum mismatch";
    out = b;
    return nullptr;
}

}  // namespace

int ExfatVolume::ReadBootRegion(int64_t partitionSectors) {
    const char* mainWhy = CheckRegion(m_device, 0, partitionSectors, 0, m_boot);
    if (!mainWhy) return 0;
    // The backup region starts at volume sector 12, whose place depends on
    // the sector size the damaged main region can no longer be trusted for.
    const char* backupWhy = "not found";
    for (uint8_t shift = 9; shift <= 12; ++shift) {
        const uint64_t at = uint64_t{EXFAT_BACKUP_BOOT_SECTOR} << (shift - 9);
        const char* why = CheckRegion(m_device, at, partitionSectors, shift, m_boot);
        if (!why) {
            LOG_W("exFAT main boot region is damaged (%s); the backup boot region is used \n", mainWhy);
            m_usedBackup = true;
            return 0;
        }
        if (shift == 9 || std::strcmp(why, "no exFAT name") != 0) backupWhy = why;
    }
    LOG_E("exFAT boot region unusable: main: %s; backup: %s \n", mainWhy, backupWhy);
    return -1;
}

std::unique_ptr<ExfatVolume> ExfatVolume::Mount(IDevice* device, int64_t partitionSectors) {
    if (!device) return nullptr;
    std::unique_ptr<ExfatVolume> v(new (std::nothrow) ExfatVolume(device));
    if (!v) {
        LOG_E("%s", "Out of Memory. \n");
        return nullptr;
    }
    if (v->ReadBootRegion(partitionSectors) != 0) return nullptr;
    const ExfatBootSector& b = v->m_boot;

    v->m_sectorUnit = uint64_t{1} << (b.bytesPerSectorShift - 9);
    v->m_clusterBytes = uint64_t{1} << (b.bytesPerSectorShift + b.sectorsPerClusterShift);
    v->m_heapSector = uint64_t{b.clusterHeapOffset} * v->m_sectorUnit;
    const bool second = b.fatCount == 2 && (b.volumeFlags & kActiveFatFlag);
    v->m_fatSector = (uint64_t{b.fatOffset} + (second ? b.fatLength : 0)) * v->m_sectorUnit;
    v->m_fatEndSector = (uint64_t{b.fatOffset} + uint64_t{b.fatCount} * b.fatLength) * v->m_sectorUnit;

    // Clusters must lie inside the volume and the partition: a boot sector
    // that counts more must not make the walk read what follows on the disk.
    const uint64_t spc = v->SectorsPerCluster();
    uint64_t end = b.volumeLength * v->m_sectorUnit;
    if (partitionSectors > 0 && end > static_cast<uint64_t>(partitionSectors)) {
        LOG_W("exFAT volume counts %llu sectors but the partition has %lld; clusters past its end are left out \n",
              static_cast<unsigned long long>(end), static_cast<long long>(partitionSectors));
        end = static_cast<uint64_t>(partitionSectors);
    }
    const uint64_t fit = (end - std::min(end, v->m_heapSector)) / spc;
    v->m_clusters = static_cast<uint32_t>(std::min<uint64_t>(b.clusterCount, fit));
    if (v->m_clusters < b.clusterCount)
        LOG_W("exFAT cluster heap holds %u of the %u clusters the boot sector counts \n", v->m_clusters,
              b.clusterCount);
    if (v->m_clusters == 0 || !v->ValidCluster(b.rootCluster)) {
        LOG_E("exFAT volume has no room for its clusters or its root folder \n");
        return nullptr;
    }
    v->m_fatPages.resize((uint64_t{v->m_clusters} + 2 + kFatPageEntries - 1) / kFatPageEntries);

    if (v->ReadBitmap() != 0) return nullptr;
    return v;
}

int ExfatVolume::ReadBitmap() {
    std::vector<uint8_t> root;
    std::vector<bool> seen;
    if (ReadStream(m_boot.rootCluster, kMaxFolderBytes, false, root, &seen) < 0 || root.empty()) {
        LOG_E("exFAT root folder at cluster %u cannot be read \n", m_boot.rootCluster);
        return -1;
    }
    ExfatDirectory dir;
    ParseExfatDirectory(root, false, dir);
    const uint8_t active = (m_boot.fatCount == 2 && (m_boot.volumeFlags & kActiveFatFlag)) ? 1 : 0;
    const ExfatBitmapEntry* entry = nullptr;
    for (const ExfatBitmapEntry& e : dir.bitmaps)
        if ((e.flags & 1) == active || m_boot.fatCount == 1) {
            entry = &e;
            break;
        }
    const uint64_t need = (uint64_t{m_clusters} + 7) / 8;
    if (!entry) {
        LOG_E("exFAT root folder has no allocation bitmap entry \n");
        return -1;
    }
    if (!ValidCluster(entry->firstCluster)) {
        LOG_E("exFAT allocation bitmap starts at invalid cluster %u \n", entry->firstCluster);
        return -1;
    }
    m_bitmapCluster = entry->firstCluster;
    m_bitmapStreamBytes = entry->dataLength;
    const uint64_t stored = std::min(entry->dataLength, need);

    std::vector<uint8_t> bytes;
    if (ReadStream(entry->firstCluster, stored, false, bytes) < 0) {
        // Formatters lay the bitmap out in one piece; a chain that does not
        // lead through it is read as such a piece.
        LOG_W("exFAT allocation bitmap chain from cluster %u is broken; read as one piece \n", entry->firstCluster);
        if (ReadStream(entry->firstCluster, stored, true, bytes) < 0) {
            LOG_E("exFAT allocation bitmap at cluster %u cannot be read \n", entry->firstCluster);
            return -1;
        }
    }
    try {
        m_bitmap.assign(need, 0xFF);
    } catch (const std::bad_alloc&) {
        LOG_E("%s", "Out of Memory. \n");
        return -1;
    }
    if (bytes.size() < need)
        LOG_W("exFAT allocation bitmap holds %llu bytes for %u clusters; the rest are taken as used \n",
              static_cast<unsigned long long>(bytes.size()), m_clusters);
    std::memcpy(m_bitmap.data(), bytes.data(), std::min<size_t>(bytes.size(), need));
    // Bits past the last cluster are no clusters: clear so counts stay true.
    if (m_clusters % 8) m_bitmap.back() &= static_cast<uint8_t>((1u << (m_clusters % 8)) - 1);
    m_allocated = 0;
    for (uint8_t byte : m_bitmap) m_allocated += static_cast<uint64_t>(std::popcount(byte));
    return 0;
}

bool ExfatVolume::IsAllocated(uint32_t cluster) const {
    if (!ValidCluster(cluster)) return true;
    const uint64_t bit = uint64_t{cluster} - 2;
    return (m_bitmap[bit / 8] >> (bit % 8)) & 1;
}

int ExfatVolume::GetFatEntry(uint32_t cluster, uint32_t& value) {
    if (!ValidCluster(cluster)) return -1;
    const size_t page = cluster / kFatPageEntries;
    FatPage& p = m_fatPages[page];
    if (!p.loaded) {
        p.loaded = true;
        const uint64_t sectors = uint64_t{kFatPageEntries} * 4 / SECTOR_SIZE;
        std::unique_ptr<uint32_t[]> entries(new (std::nothrow) uint32_t[kFatPageEntries]);
        std::vector<uint8_t> raw(kFatPageEntries * 4);
        if (!entries) {
            LOG_E("%s", "Out of Memory. \n");
            return -1;
        }
        const uint64_t first = m_fatSector + page * sectors;
        // The last page stops at the FAT's end: what follows may lie past
        // the end of a cut-short partition.
        const uint64_t fatSectors = uint64_t{m_boot.fatLength} * m_sectorUnit;
        const uint64_t want = std::min(sectors, fatSectors - std::min(fatSectors, page * sectors));
        if (want == 0 || !ReadSectors(m_device, first, want, raw.data())) {
            LOG_E("exFAT FAT sectors %llu to %llu cannot be read \n", static_cast<unsigned long long>(first),
                  static_cast<unsigned long long>(first + want - 1));
            return -1;
        }
        for (uint32_t i = 0; i < kFatPageEntries; ++i) entries[i] = le::u32(raw, size_t{i} * 4);
        p.entries = std::move(entries);
        p.readable = true;
    }
    if (!p.readable) return -1;
    value = p.entries[cluster % kFatPageEntries];
    return 0;
}

int ExfatVolume::StreamRuns(uint32_t firstCluster, uint64_t bytes, bool noFatChain,
                            std::vector<ExfatClusterRun>& runs, std::vector<bool>* claimed) {
    runs.clear();
    if (bytes == 0) return 0;
    uint64_t n = (bytes + m_clusterBytes - 1) / m_clusterBytes;
    if (!ValidCluster(firstCluster)) return -1;
    if (noFatChain && n > m_clusters) return -1;
    // A chain has no more distinct clusters than the volume.
    n = std::min<uint64_t>(n, m_clusters);
    auto claim = [&](uint32_t c) {
        if (!claimed) return true;
        if (claimed->size() < uint64_t{m_clusters} + 2) claimed->resize(uint64_t{m_clusters} + 2, false);
        if ((*claimed)[c]) return false;
        (*claimed)[c] = true;
        return true;
    };
    if (noFatChain) {
        if (firstCluster - 2 + n > m_clusters) return -1;
        if (claimed)
            for (uint64_t k = 0; k < n; ++k)
                if (!claim(static_cast<uint32_t>(firstCluster + k))) return -1;
        runs.push_back({0, firstCluster, static_cast<uint32_t>(n)});
        return 0;
    }
    if (!claim(firstCluster)) return -1;
    runs.push_back({0, firstCluster, 1});
    uint64_t taken = 1;
    uint32_t prev = firstCluster;
    while (taken < n) {
        uint32_t next = 0;
        if (GetFatEntry(prev, next) != 0) return -1;
        if (next == EXFAT_END_OF_CHAIN) return 1;
        if (!ValidCluster(next) || !claim(next)) return -1;
        if (next == prev + 1) {
            ++runs.back().count;
        } else {
            runs.push_back({taken, next, 1});
        }
        ++taken;
        prev = next;
    }
    return 0;
}

int ExfatVolume::ReadClusters(uint32_t cluster, uint32_t count, uint8_t* out) {
    if (!ValidCluster(cluster) || count == 0 || uint64_t{cluster} - 2 + count > m_clusters) return -1;
    if (!ReadSectors(m_device, ClusterToSector(cluster), uint64_t{count} * SectorsPerCluster(), out)) {
        LOG_E("exFAT clusters %u to %u cannot be read \n", cluster, cluster + count - 1);
        return -1;
    }
    return 0;
}

int ExfatVolume::ReadStream(uint32_t firstCluster, uint64_t bytes, bool noFatChain, std::vector<uint8_t>& out,
                            std::vector<bool>* claimed) {
    out.clear();
    std::vector<ExfatClusterRun> runs;
    const int r = StreamRuns(firstCluster, bytes, noFatChain, runs, claimed);
    if (r < 0) return r;
    uint64_t clusters = 0;
    for (const ExfatClusterRun& run : runs) clusters += run.count;
    const uint64_t length = std::min(bytes, clusters * m_clusterBytes);
    try {
        out.assign(clusters * m_clusterBytes, 0);
    } catch (const std::bad_alloc&) {
        LOG_E("%s", "Out of Memory. \n");
        return -1;
    }
    for (const ExfatClusterRun& run : runs)
        if (ReadClusters(run.cluster, run.count, out.data() + run.fileCluster * m_clusterBytes) != 0) return -1;
    out.resize(length);
    return r;
}

namespace {

class ExfatAllocSource : public IAlloUnitSource {
public:
    explicit ExfatAllocSource(const ExfatVolume& v) : m_volume(v) {}

    int ReadUsed(int64_t first, int64_t count, uint64_t* used) override {
        if (first < 0 || count <= 0) return 0;
        const uint64_t lo = static_cast<uint64_t>(first), end = lo + static_cast<uint64_t>(count);
        const uint64_t heap = m_volume.HeapSector(), spc = m_volume.SectorsPerCluster();
        if (lo < heap) SetUnitBits(used, 0, static_cast<int64_t>(std::min(heap, end) - lo));
        const uint64_t from = std::max(lo, heap);
        if (from >= end || m_volume.ClusterCount() == 0) return 0;
        // Bit i of the bitmap is cluster i + 2.
        const uint64_t b0 = (from - heap) / spc;
        const uint64_t b1 = std::min<uint64_t>((end - 1 - heap) / spc, m_volume.ClusterCount() - 1);
        const std::span<const uint8_t> bits = m_volume.Bitmap();
        auto mark = [&](uint64_t a, uint64_t b) {  // bits [a, b)
            const uint64_t s = std::max(lo, heap + a * spc), e = std::min(end, heap + b * spc);
            if (s < e) SetUnitBits(used, static_cast<int64_t>(s - lo), static_cast<int64_t>(e - lo));
        };
        uint64_t runStart = 0;
        bool open = false;
        for (uint64_t i = b0; i <= b1;) {
            const uint8_t byte = bits[i / 8];
            if (i % 8 == 0 && (byte == 0 || byte == 0xFF) && b1 - i >= 7) {  // a whole byte at once
                const bool inUse = byte == 0xFF;
                if (inUse && !open) runStart = i;
                if (!inUse && open) mark(runStart, i);
                open = inUse;
                i += 8;
                continue;
            }
            const bool inUse = (byte >> (i % 8)) & 1;
            if (inUse && !open) runStart = i;
            if (!inUse && open) mark(runStart, i);
            open = inUse;
            ++i;
        }
        if (open) mark(runStart, b1 + 1);
        return 0;
    }

private:
    const ExfatVolume& m_volume;
};

}  // namespace

std::unique_ptr<IAlloUnitSource> MakeExfatAllocSource(const ExfatVolume& volume) {
    if (volume.SectorsPerCluster() == 0) return nullptr;
    return std::make_unique<ExfatAllocSource>(volume);
}
