#include "filesystem/allocsources.h"

#include <algorithm>
#include <vector>

#include "filesystem/fatmount.h"
#include "filesystem/ntfs_mount.h"
#include "filesystem/ntfs_rl.h"
#include "io/deviceio.h"
#include "io/log.h"

void SetUnitBits(uint64_t* words, int64_t from, int64_t to) {
    if (from >= to) return;
    int64_t w = from / 64, last = (to - 1) / 64;
    uint64_t head = ~uint64_t{0} << (from % 64);
    uint64_t tail = to % 64 ? (uint64_t{1} << (to % 64)) - 1 : ~uint64_t{0};
    if (w == last) {
        words[w] |= head & tail;
        return;
    }
    words[w++] |= head;
    for (; w < last; ++w) words[w] = ~uint64_t{0};
    words[last] |= tail;
}

namespace {

class CFatAllocSource : public IAlloUnitSource {
public:
    CFatAllocSource(const FAT32_FAT_Buffer& fat, uint64_t dataStart, uint64_t spc, uint64_t lastCluster)
        : m_fat(fat), m_dataStart(dataStart), m_spc(spc), m_last(lastCluster) {}

    int ReadUsed(int64_t first, int64_t count, uint64_t* used) override {
        if (first < 0 || count <= 0) return 0;
        const uint64_t lo = static_cast<uint64_t>(first), end = lo + static_cast<uint64_t>(count);
        // The boot area, the FAT copies and the fixed root folder.
        if (lo < m_dataStart) SetUnitBits(used, 0, static_cast<int64_t>(std::min(m_dataStart, end) - lo));
        if (m_last < 2) return 0;
        const uint64_t from = std::max(lo, m_dataStart);
        if (from >= end) return 0;
        const uint64_t c0 = (from - m_dataStart) / m_spc + 2;
        const uint64_t c1 = std::min(m_last, (end - 1 - m_dataStart) / m_spc + 2);
        auto mark = [&](uint64_t a, uint64_t b) {  // clusters [a, b)
            uint64_t s = std::max(lo, m_dataStart + m_spc * (a - 2));
            uint64_t e = std::min(end, m_dataStart + m_spc * (b - 2));
            if (s < e) SetUnitBits(used, static_cast<int64_t>(s - lo), static_cast<int64_t>(e - lo));
        };
        uint64_t runStart = 0;
        bool open = false;
        for (uint64_t c = c0; c <= c1; ++c) {
            const bool inUse = !m_fat.IsFree(static_cast<uint32_t>(c));
            if (inUse && !open) runStart = c;
            if (!inUse && open) mark(runStart, c);
            open = inUse;
        }
        if (open) mark(runStart, c1 + 1);
        return 0;
    }

private:
    const FAT32_FAT_Buffer& m_fat;
    uint64_t m_dataStart;  // reserved sectors + FATs + fixed root folder
    uint64_t m_spc;
    uint64_t m_last;       // last cluster looked at; below 2: none
};

class CNtfsAllocSource : public IAlloUnitSource {
public:
    CNtfsAllocSource(IDevice* device, const NtfsVolume* volume, int64_t bytes, int64_t clusters, int64_t spc,
                     int64_t windowBytes)
        : m_device(device), m_volume(volume), m_bytes(bytes), m_clusters(clusters), m_spc(spc),
          m_windowBytes(windowBytes) {}

    int ReadUsed(int64_t first, int64_t count, uint64_t* used) override {
        if (first < 0 || count <= 0) return 0;
        const int64_t end = first + count;
        const int64_t c0 = first / m_spc;
        const int64_t c1 = std::min((end - 1) / m_spc, m_clusters - 1);
        if (c0 > c1) return 0;
        int64_t runStart = -1;
        auto mark = [&](int64_t a, int64_t b) {  // clusters [a, b)
            SetUnitBits(used, std::max(a * m_spc, first) - first, std::min(b * m_spc, end) - first);
        };
        for (int64_t c = c0; c <= c1;) {
            const uint8_t* b = Byte(c / 8);
            if (!b) return -1;
            if (c % 8 == 0 && (*b == 0x00 || *b == 0xFF) && c1 - c >= 7) {  // a whole byte at once
                if (*b == 0xFF && runStart < 0) runStart = c;
                if (*b == 0x00 && runStart >= 0) {
                    mark(runStart, c);
                    runStart = -1;
                }
                c += 8;
                continue;
            }
            const bool set = (*b >> (c % 8)) & 1;
            if (set && runStart < 0) runStart = c;
            if (!set && runStart >= 0) {
                mark(runStart, c);
                runStart = -1;
            }
            ++c;
        }
        if (runStart >= 0) mark(runStart, c1 + 1);
        return 0;
    }

private:
    // Byte `i` of $Bitmap through the window, reading the window that
    // starts at its cluster when it is not there. Null when it cannot be read.
    const uint8_t* Byte(int64_t i) {
        if (i >= m_winFirst && i < m_winFirst + m_winBytes) return m_window.data() + (i - m_winFirst);
        const int64_t cs = m_volume->clusterSize;
        const int64_t vcn = i / cs;
        const int64_t bitmapClusters = (m_bytes + cs - 1) / cs;
        const int64_t n = std::min(std::max<int64_t>(m_windowBytes / cs, 1), bitmapClusters - vcn);
        m_window.assign(static_cast<size_t>(n * cs), 0);
        m_winBytes = 0;
        if (NtfsReadRl(vcn, n, m_volume->bitmapRunlist, m_device, m_volume, m_window) != 0) {
            LOG_E("cannot read $Bitmap clusters %lld to %lld \n", static_cast<long long>(vcn),
                  static_cast<long long>(vcn + n));
            return nullptr;
        }
        m_winFirst = vcn * cs;
        m_winBytes = std::min(n * cs, m_bytes - m_winFirst);
        return m_window.data() + (i - m_winFirst);
    }

    IDevice* m_device;
    const NtfsVolume* m_volume;
    int64_t m_bytes;     // bytes of $Bitmap looked at
    int64_t m_clusters;  // clusters described: <= 8 * m_bytes
    int64_t m_spc;       // sectors per cluster
    int64_t m_windowBytes;
    std::vector<uint8_t> m_window;
    int64_t m_winFirst = 0;  // first byte of $Bitmap in the window
    int64_t m_winBytes = 0;
};

}  // namespace

std::unique_ptr<IAlloUnitSource> MakeFatAllocSource(const FAT_DBR_BUFF& dbr, const FAT32_FAT_Buffer& fat,
                                                    int64_t units) {
    const uint64_t spc = dbr.GetSectorsPerCluster();
    if (spc == 0 || units < 0) return nullptr;
    // The boot area, the FATs and FAT12/16's fixed root folder come first.
    const uint64_t dataStart = uint64_t{dbr.GetReservedSectors()} + uint64_t{dbr.GetFatCount()} * dbr.GetSectorsPerFat() +
                               dbr.GetRootDirSectors();  // below 2^41
    uint64_t last = 0;
    if (fat.entryCount() > 0 && static_cast<uint64_t>(units) > dataStart) {
        // Only clusters whose entry lies inside the table; none past the
        // volume's end has sectors to mark.
        last = std::min<uint64_t>(fat.highestCluster(), fat.entryCount() - 1);
        last = std::min<uint64_t>(last, (static_cast<uint64_t>(units) - dataStart) / spc + 2);
    }
    return std::make_unique<CFatAllocSource>(fat, dataStart, spc, last);
}

std::unique_ptr<IAlloUnitSource> MakeNtfsAllocSource(IDevice* device, const NtfsVolume* volume,
                                                     int64_t windowBytes) {
    if (!device || !volume) return nullptr;
    const NtfsVolume& v = *volume;
    if (v.clusterSize < SECTOR_SIZE || v.numberOfClusters <= 0) return nullptr;
    const int64_t stored = NtfsBitmapBytes(&v);
    if (stored <= 0) return nullptr;
    // A damaged $Bitmap may claim far more than one bit per cluster: read no
    // more than the clusters need, and never more than it holds.
    const int64_t needed = v.numberOfClusters / 8 + (v.numberOfClusters % 8 ? 1 : 0);
    const int64_t useful = std::min(needed, stored);
    if (useful < needed)
        LOG_W("$Bitmap holds %lld bytes, fewer than the %lld its %lld clusters need; the clusters past it are "
              "scanned as free \n",
              static_cast<long long>(stored), static_cast<long long>(needed),
              static_cast<long long>(v.numberOfClusters));
    const int64_t clusters = std::min(v.numberOfClusters, useful * 8);
    return std::make_unique<CNtfsAllocSource>(device, volume, useful, clusters, v.clusterSize / SECTOR_SIZE,
                                              windowBytes);
}
