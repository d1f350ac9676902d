#include "filesystem/ntfs_filerecord.h"

#include <cstring>
#include <new>

#include "filesystem/ntfs_mount.h"
#include "io/deviceio.h"
#include "io/le.h"
#include "io/log.h"

namespace {

constexpr size_t kFixupBlock = 512;  // the update sequence guards 512-byte blocks

bool HasFileMagic(std::span<const uint8_t> rec) { return rec.size() >= 4 && std::memcmp(rec.data(), "FILE", 4) == 0; }

// A zeroed buffer, or empty when memory is short.
std::vector<uint8_t> Allocate(size_t bytes) {
    try {
        return std::vector<uint8_t>(bytes);
    } catch (const std::bad_alloc&) {
        return {};
    }
}

}  // namespace

std::vector<uint8_t> NtfsReadRecordFromMftMirr(const NtfsVolume* vol, IDevice* dev) {
    if (!vol || !dev || vol->mftRecordSize < SECTOR_SIZE || vol->clusterSize < SECTOR_SIZE) return {};
    std::vector<uint8_t> rec = Allocate(vol->mftRecordSize);
    if (rec.empty()) {
        LOG_E("%s", "Out of Memory! \n");
        return {};
    }
    int64_t sectors = vol->mftRecordSize / SECTOR_SIZE;
    int64_t first = 0;
    if (vol->mftMirrLcn < 0 || __builtin_mul_overflow(vol->mftMirrLcn, int64_t{vol->clusterSize / SECTOR_SIZE}, &first)) {
        LOG_E("ReadSectors failed, Off: %lld, Len:%lld \n", static_cast<long long>(vol->mftMirrLcn),
              static_cast<long long>(sectors));
        return {};
    }
    uint64_t got = dev->ReadSectors(static_cast<uint64_t>(first), static_cast<uint64_t>(sectors), rec.data());
    if (got == 0) {
        LOG_E("ReadSectors failed, Off: %lld, Len:%lld \n", static_cast<long long>(first), static_cast<long long>(sectors));
        return {};
    }
    if (!HasFileMagic(rec)) {
        LOG_E("Corrupt File Head, Mft No: %lld \n", 0LL);
        return {};
    }
    return rec;
}

std::vector<uint8_t> NtfsReadRecordFromMft(IDevice* dev, std::span<const RunlistElement> rl, const NtfsVolume* vol,
                                           int64_t number) {
    if (!vol || !dev || vol->mftRecordSize < SECTOR_SIZE || vol->clusterSize < SECTOR_SIZE) return {};
    // Everything in 512-byte device sectors.
    int64_t perRecord = vol->mftRecordSize / SECTOR_SIZE;
    int64_t perCluster = vol->clusterSize / SECTOR_SIZE;
    int64_t first = 0;
    if (number < 0 || __builtin_mul_overflow(number, perRecord, &first) || first > INT64_MAX - perRecord) {
        LOG_E("Corrupt File Head, Mft No: %lld \n", static_cast<long long>(number));
        return {};
    }
    int64_t c0 = first / perCluster;
    int64_t c1 = (first + perRecord - 1) / perCluster;
    int64_t clusters = c1 - c0 + 1;  // bounded: a record is at most 64 KiB

    std::vector<uint8_t> buf = Allocate(static_cast<size_t>(clusters) << vol->clusterSizeBits);
    if (buf.empty()) {
        LOG_E("%s", "Out of Memory! \n");
        return {};
    }
    if (NtfsReadRl(c0, clusters, rl, dev, vol, buf) < 0) {
        LOG_E("NtfsReadRl failed, Lcn Off: %lld, Len:%lld \n", static_cast<long long>(c0),
              static_cast<long long>(clusters));
        return {};
    }
    std::vector<uint8_t> rec = Allocate(vol->mftRecordSize);
    if (rec.empty()) {
        LOG_E("%s", "Out of Memory. \n");
        return {};
    }
    size_t at = static_cast<size_t>(first % perCluster) * SECTOR_SIZE;
    std::memcpy(rec.data(), buf.data() + at, rec.size());
    if (!HasFileMagic(rec)) {
        LOG_E("Corrupt File Head, Mft No: %lld \n", static_cast<long long>(number));
        return {};
    }
    return rec;
}

int ntfs_mst_post_read_fixup(std::span<uint8_t> rec) {
    size_t size = rec.size();
    if (size % kFixupBlock != 0) return -1;
    size_t usaOffset = le::u16(rec, NTFS_REC_USA_OFFSET);
    if (usaOffset & 1) return -1;
    size_t blocks = static_cast<uint16_t>(le::u16(rec, NTFS_REC_USA_COUNT) - 1);
    // The array holds the check value and one entry per block, all inside the record.
    if (usaOffset + 2 * blocks + 2 > size || size / kFixupBlock != blocks) return -1;

    uint16_t check = le::u16(rec, usaOffset);
    for (size_t i = 0; i < blocks; ++i) {
        if (le::u16(rec, kFixupBlock * i + kFixupBlock - 2) != check) {
            std::memcpy(rec.data(), "BAAD", 4);
            return -1;
        }
    }
    for (size_t i = 0; i < blocks; ++i)
        le::put16(rec, kFixupBlock * i + kFixupBlock - 2, le::u16(rec, usaOffset + 2 * (i + 1)));
    return 0;
}

NtfsAttrWalker::NtfsAttrWalker(std::span<const uint8_t> record) : m_record(record) {
    m_pos = le::u16(record, NTFS_REC_ATTRS_OFFSET);
    m_limit = le::u32(record, NTFS_REC_BYTES_IN_USE);
    if (m_limit > record.size()) m_limit = record.size();
}

std::span<const uint8_t> NtfsAttrWalker::Next() {
    if (m_done) return {};
    m_done = true;
    if (m_pos >= m_limit) return {};
    if (m_limit - m_pos < 4) {
        m_corrupt = true;
        return {};
    }
    if (le::u32(m_record, m_pos + NTFS_ATTR_TYPE) == NTFS_AT_END) return {};
    size_t room = m_limit - m_pos;
    size_t len = room >= NTFS_RESIDENT_HEADER ? le::u32(m_record, m_pos + NTFS_ATTR_LENGTH) : 0;
    size_t header = le::u8(m_record, m_pos + NTFS_ATTR_NON_RESIDENT) ? NTFS_NON_RESIDENT_HEADER : NTFS_RESIDENT_HEADER;
    if (len < header || len > room) {
        m_corrupt = true;
        return {};
    }
    std::span<const uint8_t> attr = m_record.subspan(m_pos, len);
    m_pos += len;
    m_done = false;
    return attr;
}

std::span<const uint8_t> NtfsFindAttr(std::span<const uint8_t> record, uint32_t type) {
    NtfsAttrWalker walker(record);
    for (auto attr = walker.Next(); !attr.empty(); attr = walker.Next())
        if (le::u32(attr, NTFS_ATTR_TYPE) == type) return attr;
    return {};
}

std::span<const uint8_t> NtfsResidentValue(std::span<const uint8_t> attr) {
    if (attr.size() < NTFS_RESIDENT_HEADER || le::u8(attr, NTFS_ATTR_NON_RESIDENT) != 0) return {};
    size_t off = le::u16(attr, NTFS_ATTR_VALUE_OFFSET);
    size_t len = le::u32(attr, NTFS_ATTR_VALUE_LENGTH);
    if (!le::fits(attr, off, len)) return {};
    return attr.subspan(off, len);
}
