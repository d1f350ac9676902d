// Fuzzed NTFS file records: the update-sequence fixup, the attribute walk
// and NtfsFindAttr, resident values, the mapping-pairs decoder on every
// non-resident attribute (and on the raw bytes as one attribute), and
// NtfsReadRl through each decoded runlist into a buffer of exactly the size
// asked for.
//
// Input: byte 0 picks the cluster size (512 << (b % 8)), byte 1 the record
// size (512 << (b % 4)); the rest is the record, cut or zero-padded to size.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "filesystem/ntfs_filerecord.h"
#include "filesystem/ntfs_mount.h"
#include "filesystem/ntfs_rl.h"
#include "fuzz_support.h"
#include "io/deviceio.h"
#include "io/le.h"

namespace {

// A runlist as the decoder promises it: ordered, contiguous in vcn, ended by
// its one terminator.
void CheckRunlist(const Runlist& rl) {
    if (rl.empty()) return;
    FUZZ_CHECK(rl.back().length == 0);
    FUZZ_CHECK(rl.back().lcn == LCN_ENOENT || rl.back().lcn == LCN_RL_NOT_MAPPED);
    for (size_t i = 0; i + 1 < rl.size(); ++i) {
        FUZZ_CHECK(rl[i].length > 0);
        FUZZ_CHECK(rl[i].lcn >= LCN_RL_NOT_MAPPED);
        FUZZ_CHECK(rl[i + 1].vcn == rl[i].vcn + rl[i].length);
    }
}

// Reads up to a few clusters through the runlist from a small device.
void ReadThrough(const Runlist& rl, const NtfsVolume& vol, IDevice* dev) {
    if (rl.empty()) return;
    int64_t total = rl.back().vcn;
    for (int64_t vcn : {int64_t{0}, total / 2, total - 1}) {
        if (vcn < 0) continue;
        int64_t count = total - vcn < 4 ? total - vcn : 4;
        if (count <= 0) continue;
        auto buf = std::make_unique<uint8_t[]>(static_cast<size_t>(count) * vol.clusterSize);
        NtfsReadRl(vcn, count, rl, dev, &vol, std::span<uint8_t>(buf.get(), static_cast<size_t>(count) * vol.clusterSize));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog();
    if (size < 2) return 0;
    NtfsVolume vol;
    vol.sectorSize = 512;
    vol.sectorSizeBits = 9;
    vol.clusterSizeBits = static_cast<uint8_t>(9 + data[0] % 8);
    vol.clusterSize = 1u << vol.clusterSizeBits;
    vol.mftRecordSizeBits = static_cast<uint8_t>(9 + data[1] % 4);
    vol.mftRecordSize = 1u << vol.mftRecordSizeBits;
    data += 2;
    size -= 2;

    // The device behind the runlists: 64 KiB of the record's own bytes.
    fuzz::Image img = fuzz::SplitImage(data, size, 64u << 10, 64u << 10);
    fuzz::MemoryPartition mp(img, 0, img.Sectors());
    CVolDevice device(&mp.disk, 0);

    // The raw bytes as one attribute record, exactly as long as the input.
    {
        std::vector<uint8_t> attr(data, data + size);
        CheckRunlist(ntfs_mapping_pairs_decompress(&vol, attr));
    }

    std::vector<uint8_t> record(vol.mftRecordSize, 0);
    std::memcpy(record.data(), data, size < record.size() ? size : record.size());
    ntfs_mst_post_read_fixup(record);

    NtfsAttrWalker walker(record);
    int attrs = 0;
    for (auto attr = walker.Next(); !attr.empty(); attr = walker.Next()) {
        FUZZ_CHECK(attr.data() >= record.data() && attr.data() + attr.size() <= record.data() + record.size());
        FUZZ_CHECK(++attrs <= static_cast<int>(record.size() / NTFS_RESIDENT_HEADER));
        std::span<const uint8_t> value = NtfsResidentValue(attr);
        if (!value.empty()) FUZZ_CHECK(value.data() >= attr.data() && value.data() + value.size() <= attr.data() + attr.size());
        if (le::u8(attr, NTFS_ATTR_NON_RESIDENT)) {
            Runlist rl = ntfs_mapping_pairs_decompress(&vol, attr);
            CheckRunlist(rl);
            ReadThrough(rl, vol, &device);
        }
    }
    for (uint32_t type : {0x10u, NTFS_AT_FILE_NAME, NTFS_AT_DATA, NTFS_AT_BITMAP, le::u32(record, 0x38)}) {
        std::span<const uint8_t> attr = NtfsFindAttr(record, type);
        if (!attr.empty()) FUZZ_CHECK(le::u32(attr, 0) == type);
    }
    return 0;
}
