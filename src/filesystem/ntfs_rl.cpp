#include "filesystem/ntfs_rl.h"

#include "filesystem/ntfs_mount.h"
#include "io/deviceio.h"
#include "io/le.h"
#include "io/log.h"

namespace {

// Non-resident attribute record header.
constexpr size_t kAttrLength = 4;          // uint32
constexpr size_t kAttrNonResident = 8;     // uint8
constexpr size_t kAttrLowestVcn = 16;      // int64
constexpr size_t kAttrHighestVcn = 24;     // int64
constexpr size_t kAttrMappingPairs = 32;   // uint16: offset of the mapping pairs
constexpr size_t kAttrAllocatedSize = 40;  // int64: bytes

// The runlist grows by this many bytes' worth of elements at a time.
constexpr size_t kRunlistStep = 4096 / sizeof(RunlistElement);

int64_t S64(le::Bytes b, size_t off) { return static_cast<int64_t>(le::u64(b, off)); }

// Device sectors (512 bytes) per cluster.
int64_t DeviceSectorsPerCluster(const NtfsVolume* vol) { return vol->clusterSize / SECTOR_SIZE; }

}  // namespace

Runlist ntfs_mapping_pairs_decompress(const NtfsVolume* vol, std::span<const uint8_t> attr) {
    Runlist rl;
    LOG_T("Entering for attr 0x%x.\n", le::u32(attr, 0));
    if (!vol || vol->clusterSize == 0) return rl;

    int64_t lowestVcn = S64(attr, kAttrLowestVcn);
    if (le::u8(attr, kAttrNonResident) == 0 || lowestVcn < 0) return rl;

    auto fail = [&rl](const char* msg) {
        LOG_D("%s", msg);
        rl.clear();
        return Runlist();
    };

    // The pairs lie between their offset and the end of the attribute record,
    // which must itself lie inside what the caller handed over.
    size_t end = le::u32(attr, kAttrLength);
    size_t p = le::u16(attr, kAttrMappingPairs);
    if (end > attr.size() || p > end) return fail("Corrupt attribute.\n");

    rl.reserve(kRunlistStep);
    int64_t vcn = lowestVcn, lcn = 0;
    if (lowestVcn != 0) rl.push_back({0, LCN_RL_NOT_MAPPED, lowestVcn});
    if (p >= end) return fail("Corrupt attribute.\n");

    while (attr[p] != 0) {
        if (rl.size() + 3 > rl.capacity()) rl.reserve(rl.capacity() + kRunlistStep);
        unsigned lenBytes = attr[p] & 0x0F;
        unsigned lcnBytes = attr[p] >> 4;
        if (lenBytes == 0) {
            LOG_D("%s", "Missing length entry in mapping pairs array.\n");
            return fail("Invalid length in mapping pairs array.\n");
        }
        // Wider fields do not fit 64 bits; the whole pair must lie before the end.
        if (lenBytes > 8) return fail("Invalid length in mapping pairs array.\n");
        if (lcnBytes > 8 || 1 + lenBytes + lcnBytes > end - p) return fail("Corrupt attribute.\n");

        int64_t length = le::sN(attr, p + 1, lenBytes);
        if (length < 0) return fail("Invalid length in mapping pairs array.\n");
        int64_t runVcn = vcn;
        if (__builtin_add_overflow(vcn, length, &vcn)) return fail("Corrupt attribute.\n");

        int64_t runLcn = LCN_HOLE;
        if (lcnBytes != 0) {
            int64_t delta = le::sN(attr, p + 1 + lenBytes, lcnBytes);
            if (__builtin_add_overflow(lcn, delta, &lcn)) return fail("Corrupt attribute.\n");
            if (lcn < -1) return fail("Invalid LCN < -1 in mapping pairs array.\n");
            runLcn = lcn;
        }
        // A run of no clusters describes nothing; kept, it would read as the
        // terminator and cut the runlist short.
        if (length != 0) rl.push_back({runVcn, runLcn, length});

        p += 1 + lenBytes + lcnBytes;
        if (p >= end) return fail("Corrupt attribute.\n");
    }

    int64_t highestVcn = S64(attr, kAttrHighestVcn);
    if (highestVcn != 0 && vcn - 1 != highestVcn)
        return fail("Corrupt mapping pairs array in non-resident attribute.\n");

    int64_t terminator = LCN_ENOENT;
    if (lowestVcn != 0) {
        terminator = LCN_RL_NOT_MAPPED;
    } else if (highestVcn != 0) {
        int64_t allocated = S64(attr, kAttrAllocatedSize);
        // Rounded up to whole clusters without overflowing near INT64_MAX.
        int64_t maxCluster = (allocated >> vol->clusterSizeBits) +
                             ((allocated & (static_cast<int64_t>(vol->clusterSize) - 1)) ? 1 : 0) - 1;
        if (highestVcn < maxCluster) {
            LOG_D("More extents to follow; deltaxcn = 0x%llx, max_cluster = 0x%llx\n",
                  static_cast<long long>(highestVcn), static_cast<long long>(maxCluster));
            rl.push_back({vcn, LCN_RL_NOT_MAPPED, maxCluster - highestVcn});
            vcn += maxCluster - highestVcn;
        } else if (highestVcn > maxCluster) {
            LOG_D("Corrupt attribute. deltaxcn = 0x%llx, max_cluster = 0x%llx\n",
                  static_cast<long long>(highestVcn), static_cast<long long>(maxCluster));
            return fail("Corrupt mapping pairs array in non-resident attribute.\n");
        }
    }
    rl.push_back({vcn, terminator, 0});
    LOG_D("%s", "Mapping pairs array successfully decompressed:\n");
    ntfs_debug_runlist_dump(rl);
    return rl;
}

int64_t NtfsReadRl(int64_t vcn, int64_t count, std::span<const RunlistElement> rl, IDevice* dev,
                   const NtfsVolume* vol, std::span<uint8_t> buffer) {
    if (!dev || !vol || vol->clusterSize < SECTOR_SIZE || vcn < 0 || count < 0) return -1;
    if (static_cast<uint64_t>(count) > (buffer.size() >> vol->clusterSizeBits)) {
        LOG_E("Buffer too small, Clusters: %lld, Bytes: %zu \n", static_cast<long long>(count), buffer.size());
        return -1;
    }

    // Reads `clusters` clusters from cluster `lcn` + `skip` into `dst`; 0 or
    // -1. `first` picks the wording of the short-read message.
    auto readClusters = [&](int64_t lcn, int64_t skip, int64_t clusters, uint8_t* dst, bool first) -> int64_t {
        int64_t spc = DeviceSectorsPerCluster(vol);
        int64_t sector = 0, sectors = 0;
        if (__builtin_add_overflow(lcn, skip, &lcn) || __builtin_mul_overflow(lcn, spc, &sector) ||
            __builtin_mul_overflow(clusters, spc, &sectors)) {
            LOG_E("Run out of range, Lcn: %lld, Len: %lld \n", static_cast<long long>(lcn),
                  static_cast<long long>(clusters));
            return -1;
        }
        uint64_t got = dev->ReadSectors(static_cast<uint64_t>(sector), static_cast<uint64_t>(sectors), dst);
        if (got == static_cast<uint64_t>(sectors)) return 0;
        if (first)
            LOG_E("ParReadSectors failed, Off:%lld, Len:%lld , Ret Len: %lld\n", static_cast<long long>(sector),
                  static_cast<long long>(sectors), static_cast<long long>(got));
        else
            LOG_E("ParReadSectors failed, Off:%lld, Len:%lld, Ret Len: %lld \n", static_cast<long long>(sector),
                  static_cast<long long>(sectors), static_cast<long long>(got));
        return -1;
    };

    size_t i = 0;
    for (; i < rl.size() && rl[i].length != 0; ++i)
        if (rl[i].vcn <= vcn && vcn - rl[i].vcn < rl[i].length) break;
    if (i >= rl.size() || rl[i].length == 0) return -1;

    auto onDisk = [&](const RunlistElement& e) {
        if (e.lcn >= 0) return true;
        LOG_E("Clusters not on disk, Vcn: %lld, Lcn: %lld, Len: %lld \n", static_cast<long long>(e.vcn),
              static_cast<long long>(e.lcn), static_cast<long long>(e.length));
        return false;
    };
    if (!onDisk(rl[i])) return -1;

    int64_t n = rl[i].vcn + rl[i].length - vcn;
    if (n > count) n = count;
    if (readClusters(rl[i].lcn, vcn - rl[i].vcn, n, buffer.data(), true) < 0) return -1;
    if (n >= count) return 0;

    // The decoder made the following runs contiguous in vcn.
    for (++i; i < rl.size(); ++i) {
        const RunlistElement& e = rl[i];
        if (e.length == 0) return -1;
        if (!onDisk(e)) return -1;
        int64_t take = e.length >= count - n ? count - n : e.length;
        uint8_t* dst = buffer.data() + (static_cast<size_t>(n) << vol->clusterSizeBits);
        if (readClusters(e.lcn, 0, take, dst, false) < 0) return -1;
        n += take;
        if (n >= count) return 0;
    }
    return -1;
}

void ntfs_debug_runlist_dump(std::span<const RunlistElement> rl) {
    static const char* const kNames[] = {"LCN_HOLE         ", "LCN_RL_NOT_MAPPED", "LCN_ENOENT       ",
                                         "LCN_EINVAL       ", "LCN_unknown      "};
    LOG_D("%s", "NTFS-fs DEBUG: Dumping runlist (values in hex):\n");
    if (rl.empty()) {
        LOG_D("%s", "Run list not present.\n");
        return;
    }
    LOG_D("%s", "VCN              LCN               Run length\n");
    for (const RunlistElement& e : rl) {
        const char* endMark = e.length == 0 ? " (runlist end)" : "";
        if (e.lcn < 0) {
            int64_t index = -1 - e.lcn;
            if (index > 4) index = 4;
            LOG_D("%-16llx %s %-16llx%s\n", static_cast<unsigned long long>(e.vcn), kNames[index],
                  static_cast<unsigned long long>(e.length), endMark);
        } else {
            LOG_D("%-16llx %-16llx  %-16llx%s\n", static_cast<unsigned long long>(e.vcn),
                  static_cast<unsigned long long>(e.lcn), static_cast<unsigned long long>(e.length), endMark);
        }
        if (e.length == 0) break;
    }
}
