#include "io/platform/drive_layout.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "io/le.h"
#include "io/log.h"

namespace {

constexpr size_t kTableOffset = 446;  // four 16-byte entries
constexpr size_t kEntrySize = 16;
// A GPT entry array larger than this is read only as far as it reaches.
constexpr uint64_t kMaxGptArrayBytes = 1u << 20;

// One 16-byte entry of a partition table sector.
struct TableEntry {
    uint8_t boot = 0;    // byte 0: 0x80 active
    uint8_t type = 0;    // byte 4
    uint32_t start = 0;  // bytes 8-11: first sector, relative to the table's base
    uint32_t count = 0;  // bytes 12-15: number of sectors
};

TableEntry EntryAt(le::Bytes sector, int slot) {
    size_t off = kTableOffset + static_cast<size_t>(slot) * kEntrySize;
    return TableEntry{le::u8(sector, off), le::u8(sector, off + 4), le::u32(sector, off + 8),
                      le::u32(sector, off + 12)};
}

bool HasSignature(le::Bytes sector) { return le::u8(sector, 510) == 0x55 && le::u8(sector, 511) == 0xAA; }

bool IsPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

// A FAT, exFAT or NTFS boot sector: a jump instruction, a sane sector and cluster
// size and the file system's name where the format keeps it.
uint8_t BootSectorType(le::Bytes s) {
    // exFAT has no parameter block at 11 and is typed like NTFS.
    if (s.size() >= 11 && std::memcmp(s.data() + 3, "EXFAT   ", 8) == 0) return 0x07;
    uint8_t jump = le::u8(s, 0);
    if (!(jump == 0xE9 || (jump == 0xEB && le::u8(s, 2) == 0x90))) return 0;
    uint16_t bps = le::u16(s, 11);
    if (bps < 512 || bps > 4096 || !IsPowerOfTwo(bps)) return 0;
    if (!IsPowerOfTwo(le::u8(s, 13))) return 0;
    if (s.size() >= 11 && std::memcmp(s.data() + 3, "NTFS    ", 8) == 0) return 0x07;
    if (s.size() >= 90 && std::memcmp(s.data() + 82, "FAT32", 5) == 0) return 0x0C;
    if (s.size() >= 62 && std::memcmp(s.data() + 54, "FAT16", 5) == 0) return 0x06;
    if (s.size() >= 62 && std::memcmp(s.data() + 54, "FAT12", 5) == 0) return 0x01;
    return 0;
}

// Reads the first 512 bytes of table sector `lba`. 1 when read in full, 0 on
// a short read, -1 on a failure (with *err).
int ReadTableSector(IDeviceHandle* h, uint64_t lba, uint32_t sectorSize, uint8_t (&buf)[512], int* err) {
    std::memset(buf, 0, sizeof buf);
    int e = 0;
    int64_t got = h->ReadAt(lba * sectorSize, buf, sizeof buf, &e);
    if (got < 0) {
        if (err) *err = e;
        return -1;
    }
    return got == static_cast<int64_t>(sizeof buf) ? 1 : 0;
}

class LayoutWalk {
public:
    LayoutWalk(IDeviceHandle* h, uint64_t diskBytes, uint32_t sectorSize, std::vector<LayoutEntry>& out)
        : m_h(h), m_diskBytes(diskBytes), m_ss(sectorSize), m_out(out) {}

    // Adds an entry; false when the layout is full.
    bool Add(const LayoutEntry& e) {
        if (m_out.size() >= kMaxLayoutEntries) {
            if (!m_full)
                LOG_W("drive layout holds more than %d entries, the rest of the extended chain is left out \n",
                      static_cast<int>(kMaxLayoutEntries));
            m_full = true;
            return false;
        }
        m_out.push_back(e);
        return true;
    }

    LayoutEntry Make(uint64_t absStart, const TableEntry& t, uint32_t number) const {
        LayoutEntry e;
        e.StartingOffset = absStart * m_ss;
        e.PartitionLength = static_cast<uint64_t>(t.count) * m_ss;
        e.HiddenSectors = t.start;
        e.PartitionNumber = number;
        e.PartitionType = t.type;
        e.BootIndicator = t.boot == 0x80;
        return e;
    }

    // Walks the chain of the extended container at `first` (sectors) the way
    // the kernel does, so logical partitions get the kernel's numbers.
    void WalkExtended(uint64_t first, uint64_t firstSize) {
        std::set<uint64_t> visited;
        uint64_t cur = first, curSize = firstSize;
        while (!m_full) {
            if (!visited.insert(cur).second) {
                LOG_E("loop in the extended partition chain at sector %llu, walk ended \n",
                      static_cast<unsigned long long>(cur));
                return;
            }
            if (m_diskBytes && (cur >= m_diskBytes / m_ss)) {
                LOG_E("extended boot record at sector %llu lies outside the disk, walk ended \n",
                      static_cast<unsigned long long>(cur));
                return;
            }
            uint8_t buf[512];
            int err = 0;
            if (ReadTableSector(m_h, cur, m_ss, buf, &err) != 1) {
                LOG_E("cannot read the extended boot record at sector %llu, ErrorCode: %d \n",
                      static_cast<unsigned long long>(cur), err);
                return;
            }
            le::Bytes sec(buf, sizeof buf);
            if (!HasSignature(sec)) {
                LOG_W("extended boot record at sector %llu has no signature, walk ended \n",
                      static_cast<unsigned long long>(cur));
                return;
            }
            // Data partitions first. The third and fourth slots often hold
            // garbage: the kernel takes them only when they stay inside both
            // this record's extent and the container.
            for (int i = 0; i < 4; ++i) {
                TableEntry t = EntryAt(sec, i);
                if (t.count == 0 || IsExtendedType(t.type)) continue;
                uint64_t abs = cur + t.start;
                if (i >= 2) {
                    if (static_cast<uint64_t>(t.start) + t.count > curSize) continue;
                    if (abs + t.count > first + firstSize) continue;
                }
                if (!Add(Make(abs, t, m_nextLogical))) return;
                ++m_nextLogical;
            }
            // Then the link to the next record, relative to the container.
            int link = -1;
            for (int i = 0; i < 4; ++i) {
                TableEntry t = EntryAt(sec, i);
                if (t.count != 0 && IsExtendedType(t.type)) {
                    link = i;
                    break;
                }
            }
            if (link < 0) return;
            TableEntry t = EntryAt(sec, link);
            LayoutEntry e = Make(first + t.start, t, 0);
            e.PartitionType = 0x05;
            if (!Add(e)) return;
            cur = first + t.start;
            curSize = t.count;
        }
    }

private:
    IDeviceHandle* m_h;
    uint64_t m_diskBytes;
    uint32_t m_ss;
    std::vector<LayoutEntry>& m_out;
    uint32_t m_nextLogical = 5;
    bool m_full = false;
};

void EmptySlots(std::vector<LayoutEntry>& out) { out.assign(4, LayoutEntry{}); }

// Sector 0 of the disk into `mbr`; 0, or -1 with *err set (logged).
int ReadMasterBootRecord(IDeviceHandle* h, uint32_t& sectorSize, uint8_t (&mbr)[512], int* err) {
    if (!h) {
        if (err) *err = EINVAL;
        return -1;
    }
    if (sectorSize < 512) sectorSize = 512;
    int e = 0;
    if (ReadTableSector(h, 0, sectorSize, mbr, &e) < 0) {
        LOG_E("cannot read the master boot record, ErrorCode: %d \n", e);
        if (err) *err = e;
        return -1;
    }
    return 0;
}

}  // namespace

int ReadDriveLayout(IDeviceHandle* h, uint64_t diskBytes, uint32_t sectorSize, std::vector<LayoutEntry>& out,
                    int* err) {
    out.clear();
    uint8_t mbr[512];
    if (ReadMasterBootRecord(h, sectorSize, mbr, err) < 0) return -1;
    le::Bytes sec(mbr, sizeof mbr);
    EmptySlots(out);
    if (!HasSignature(sec)) return 0;

    // Boot flags other than 0 and 0x80 mean this is no partition table (the
    // kernel's test): a boot sector of a disk formatted without one, or noise.
    bool valid = true, empty = true;
    for (int i = 0; i < 4; ++i) {
        TableEntry t = EntryAt(sec, i);
        if (t.boot != 0 && t.boot != 0x80) valid = false;
        if (t.count != 0 || t.type != 0) empty = false;
    }
    if (!valid || empty) {
        uint8_t fsType = BootSectorType(sec);
        if (fsType && diskBytes) {
            // A superfloppy: the whole disk is one volume.
            out[0].StartingOffset = 0;
            out[0].PartitionLength = diskBytes / sectorSize * sectorSize;
            out[0].PartitionType = fsType;
            LOG_T("no partition table, the whole disk holds a file system of type 0x%02x \n", fsType);
        } else if (!valid) {
            LOG_W("sector 0 has invalid boot flags, not a partition table \n");
        }
        return 0;
    }

    LayoutWalk walk(h, diskBytes, sectorSize, out);
    for (int i = 0; i < 4; ++i) {
        TableEntry t = EntryAt(sec, i);
        out[i] = walk.Make(t.start, t, t.count ? static_cast<uint32_t>(i + 1) : 0);
    }
    for (int i = 0; i < 4; ++i) {
        TableEntry t = EntryAt(sec, i);
        if (t.count != 0 && IsExtendedType(t.type)) walk.WalkExtended(t.start, t.count);
    }
    return 0;
}

int ReadDriveLayoutEx(IDeviceHandle* h, uint64_t diskBytes, uint32_t sectorSize, DriveLayoutEx& out, int* err) {
    out = DriveLayoutEx{};
    uint8_t mbr[512];
    if (ReadMasterBootRecord(h, sectorSize, mbr, err) < 0) return -1;
    le::Bytes sec(mbr, sizeof mbr);
    if (!HasSignature(sec)) return 0;  // RAW

    bool protective = false;
    for (int i = 0; i < 4; ++i)
        if (EntryAt(sec, i).type == 0xEE) protective = true;

    if (protective) {
        int e = 0;
        std::vector<uint8_t> hdr(sectorSize);
        int64_t got = h->ReadAt(sectorSize, hdr.data(), hdr.size(), &e);
        if (got >= 92 && std::memcmp(hdr.data(), "EFI PART", 8) == 0) {
            out.Style = PartitionStyle::Gpt;
            le::Bytes hb(hdr.data(), static_cast<size_t>(got));
            uint64_t arrayLba = le::u64(hb, 72);
            uint32_t count = le::u32(hb, 80);
            uint32_t entrySize = le::u32(hb, 84);
            uint64_t diskSectors = diskBytes ? diskBytes / sectorSize : UINT64_MAX;
            if (entrySize < 128 || entrySize > 4096 || entrySize % 8 != 0 || arrayLba < 2 ||
                arrayLba >= diskSectors || arrayLba > UINT64_MAX / sectorSize) {
                LOG_E("GPT header with an invalid entry array (LBA %llu, %u entries of %u bytes) \n",
                      static_cast<unsigned long long>(arrayLba), count, entrySize);
                return 0;
            }
            uint64_t bytes = std::min<uint64_t>(static_cast<uint64_t>(count) * entrySize, kMaxGptArrayBytes);
            if (diskBytes) bytes = std::min<uint64_t>(bytes, diskBytes - arrayLba * sectorSize);
            std::vector<uint8_t> arr(static_cast<size_t>(bytes));
            got = arr.empty() ? 0 : h->ReadAt(arrayLba * sectorSize, arr.data(), arr.size(), &e);
            if (got < 0) {
                LOG_E("cannot read the GPT entry array, ErrorCode: %d \n", e);
                return 0;
            }
            le::Bytes ab(arr.data(), static_cast<size_t>(got));
            for (uint64_t off = 0; le::fits(ab, static_cast<size_t>(off), entrySize); off += entrySize) {
                LayoutExEntry x;
                std::memcpy(x.GptType.data(), arr.data() + off, 16);
                if (std::all_of(x.GptType.begin(), x.GptType.end(), [](uint8_t b) { return b == 0; })) continue;
                if (out.Entries.size() >= kMaxLayoutEntries) {
                    LOG_W("GPT holds more than %d partitions, the rest are left out \n",
                          static_cast<int>(kMaxLayoutEntries));
                    break;
                }
                out.Entries.push_back(x);
            }
            return 0;
        }
    }

    out.Style = PartitionStyle::Mbr;
    std::vector<LayoutEntry> legacy;
    if (ReadDriveLayout(h, diskBytes, sectorSize, legacy, err) < 0) return -1;
    for (const auto& l : legacy) {
        LayoutExEntry x;
        x.MbrType = l.PartitionType;
        out.Entries.push_back(x);
    }
    return 0;
}
