// NTFS file records: reading them, the update-sequence fixup, attributes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "filesystem/ntfs_rl.h"

class IDevice;
struct NtfsVolume;

// File record header fields (offsets from the record start).
constexpr size_t NTFS_REC_MAGIC = 0x00;         // 4 bytes: "FILE", "BAAD" after a failed fixup
constexpr size_t NTFS_REC_USA_OFFSET = 0x04;    // uint16
constexpr size_t NTFS_REC_USA_COUNT = 0x06;     // uint16: entries, the check value included
constexpr size_t NTFS_REC_ATTRS_OFFSET = 0x14;  // uint16: first attribute
constexpr size_t NTFS_REC_FLAGS = 0x16;         // uint16: bit 0 in use, bit 1 directory
constexpr size_t NTFS_REC_BYTES_IN_USE = 0x18;  // uint32
constexpr size_t NTFS_REC_BASE_RECORD = 0x20;   // uint64: 0 unless an extension record
constexpr size_t NTFS_REC_NUMBER = 0x2C;        // uint32: the record's own number

// Attribute record fields.
constexpr size_t NTFS_ATTR_TYPE = 0x00;            // uint32, 0xFFFFFFFF ends the list
constexpr size_t NTFS_ATTR_LENGTH = 0x04;          // uint32
constexpr size_t NTFS_ATTR_NON_RESIDENT = 0x08;    // uint8
constexpr size_t NTFS_ATTR_FLAGS = 0x0C;           // uint16: NTFS_ATTR_FLAG_*
constexpr size_t NTFS_ATTR_LOWEST_VCN = 0x10;      // int64, non-resident: the extent's first cluster
constexpr size_t NTFS_ATTR_VALUE_LENGTH = 0x10;    // uint32, resident
constexpr size_t NTFS_ATTR_VALUE_OFFSET = 0x14;    // uint16, resident
constexpr size_t NTFS_ATTR_ALLOCATED_SIZE = 0x28;  // int64, non-resident
constexpr size_t NTFS_ATTR_DATA_SIZE = 0x30;       // int64, non-resident
constexpr size_t NTFS_ATTR_INIT_SIZE = 0x38;       // int64, non-resident
constexpr size_t NTFS_ATTR_COMPRESSION_UNIT = 0x22;  // uint8, non-resident: log2 of clusters per unit
constexpr uint16_t NTFS_ATTR_FLAG_COMPRESSED = 0x0001;

constexpr size_t NTFS_RESIDENT_HEADER = 0x18;
constexpr size_t NTFS_NON_RESIDENT_HEADER = 0x40;

constexpr uint32_t NTFS_AT_FILE_NAME = 0x30;
constexpr uint32_t NTFS_AT_DATA = 0x80;
constexpr uint32_t NTFS_AT_BITMAP = 0xB0;
constexpr uint32_t NTFS_AT_END = 0xFFFFFFFF;

// Record 0 as stored at the start of $MFTMirr (mftMirrLcn), without fixup:
// mftRecordSize bytes starting with "FILE", or empty on failure (logged).
std::vector<uint8_t> NtfsReadRecordFromMftMirr(const NtfsVolume* volume, IDevice* device);

// File record `number` read through the $MFT data runlist, without fixup:
// mftRecordSize bytes starting with "FILE", or empty on failure (logged).
std::vector<uint8_t> NtfsReadRecordFromMft(IDevice* device, std::span<const RunlistElement> runlist,
                                           const NtfsVolume* volume, int64_t number);

// Checks the update sequence of a multi-sector record whose size is the
// span's (a multiple of 512) and puts back the bytes it displaced at the end
// of every 512-byte block. 0, or -1 when the header does not fit the size or
// a block's tail differs from the check value; on a mismatch the magic
// becomes "BAAD" and nothing else changes. Logs nothing.
int ntfs_mst_post_read_fixup(std::span<uint8_t> record);

// The first attribute record of `type` in a fixed-up file record, as a span
// of exactly its length, or empty. The walk ends at the end marker and at the
// first attribute whose length is 0, too small for its header, or reaching
// past bytes in use or the record buffer.
std::span<const uint8_t> NtfsFindAttr(std::span<const uint8_t> record, uint32_t type);

// Walks a file record's attribute records in order under the rules of
// NtfsFindAttr.
class NtfsAttrWalker {
public:
    explicit NtfsAttrWalker(std::span<const uint8_t> record);
    // The next attribute record (exactly its length), or empty at the end
    // marker, at bytes in use, or at a corrupt attribute.
    std::span<const uint8_t> Next();
    // True when the walk stopped at a corrupt attribute.
    bool Corrupt() const { return m_corrupt; }

private:
    std::span<const uint8_t> m_record;
    size_t m_pos = 0;
    size_t m_limit = 0;  // bytes in use, at most the buffer
    bool m_done = false;
    bool m_corrupt = false;
};

// The value of a resident attribute, or empty when the attribute is not
// resident or its value does not lie inside it.
std::span<const uint8_t> NtfsResidentValue(std::span<const uint8_t> attribute);
