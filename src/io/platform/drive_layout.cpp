#include "io/platform/drive_layout.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include <zlib.h>

#include "io/le.h"
#include "io/log.h"

namespace {

constexpr size_t kTableOffset = 446;  // four 16-byte entries
constexpr size_t kEntrySize = 16;
// A GPT entry array larger than this is not read (128 entries of 128 bytes
// is the usual 16 KiB).
constexpr uint64_t kMaxGptArrayBytes = 1u << 20;

// GPT header, at LBA 1 and, as a backup, at the disk's last LBA.
constexpr size_t kGptSignature = 0;       // "EFI PART"
constexpr size_t kGptHeaderSize = 12;     // u32: 92 up to one sector
constexpr size_t kGptHeaderCrc = 16;      // u32: CRC-32 of the header with this field zero
constexpr size_t kGptMyLba = 24;          // u64: where this copy lies
constexpr size_t kGptAlternateLba = 32;   // u64: where the other copy lies
constexpr size_t kGptFirstUsable = 40;    // u64
constexpr size_t kGptLastUsable = 48;     // u64, inclusive
constexpr size_t kGptEntriesLba = 72;     // u64
constexpr size_t kGptEntryCount = 80;     // u32
constexpr size_t kGptEntrySize = 84;      // u32: 128 times a power of two
constexpr size_t kGptEntriesCrc = 88;     // u32: CRC-32 of the whole entry array
constexpr size_t kGptMinHeader = 92;
// GPT entry.
constexpr size_t kGpeType = 0;            // 16 bytes; all zero: unused
constexpr size_t kGpeId = 16;             // 16 bytes
constexpr size_t kGpeFirstLba = 32;       // u64
constexpr size_t kGpeLastLba = 40;        // u64, inclusive
constexpr size_t kGpeAttributes = 48;     // u64
constexpr size_t kGpeName = 56;           // 36 UTF-16LE units
constexpr size_t kGpeNameUnits = 36;

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
    // mformat writes a table into the boot sector of a disk it formats whole:
    // one entry that starts at sector 0, the boot sector itself, often running
    // past the disk's end to a whole cylinder. Such a disk has no table either.
    bool valid = true, empty = true, selfEntry = false;
    for (int i = 0; i < 4; ++i) {
        TableEntry t = EntryAt(sec, i);
        if (t.boot != 0 && t.boot != 0x80) valid = false;
        if (t.count != 0 || t.type != 0) empty = false;
        if (t.count != 0 && t.start == 0) selfEntry = true;
    }
    const uint8_t fsType = BootSectorType(sec);
    if (!valid || empty || (selfEntry && fsType)) {
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

namespace {

uint32_t Crc32(const uint8_t* p, size_t n) {
    uLong c = crc32(0L, Z_NULL, 0);
    while (n > 0) {  // zlib takes lengths as uInt
        const uInt chunk = static_cast<uInt>(std::min<size_t>(n, 1u << 30));
        c = crc32(c, p, chunk);
        p += chunk;
        n -= chunk;
    }
    return static_cast<uint32_t>(c);
}

// One copy of the GPT: its header and entry array, checked.
struct GptCopy {
    bool signature = false;  // "EFI PART" is there, whatever else is wrong
    bool valid = false;
    const char* fault = "";
    uint64_t firstUsable = 0, lastUsable = 0;
    uint32_t count = 0, entrySize = 0;
    std::vector<uint8_t> entries;
};

// Reads and checks the copy whose header lies at `lba`.
GptCopy ReadGptCopy(IDeviceHandle* h, uint64_t lba, uint64_t diskSectors, uint32_t ss) {
    GptCopy g;
    if (lba == 0 || lba >= diskSectors || lba > UINT64_MAX / ss) {
        g.fault = "its header lies outside the disk";
        return g;
    }
    std::vector<uint8_t> hdr(ss);
    int e = 0;
    int64_t got = h->ReadAt(lba * ss, hdr.data(), hdr.size(), &e);
    if (got < static_cast<int64_t>(kGptMinHeader)) {
        g.fault = "its header cannot be read";
        return g;
    }
    le::Bytes hb(hdr.data(), static_cast<size_t>(got));
    g.signature = std::memcmp(hdr.data() + kGptSignature, "EFI PART", 8) == 0;
    if (!g.signature) {
        g.fault = "no header signature";
        return g;
    }
    const uint32_t headerSize = le::u32(hb, kGptHeaderSize);
    if (headerSize < kGptMinHeader || headerSize > hb.size()) {
        g.fault = "header size out of range";
        return g;
    }
    std::vector<uint8_t> zeroed(hdr.begin(), hdr.begin() + headerSize);
    std::memset(zeroed.data() + kGptHeaderCrc, 0, 4);
    if (Crc32(zeroed.data(), zeroed.size()) != le::u32(hb, kGptHeaderCrc)) {
        g.fault = "header CRC mismatch";
        return g;
    }
    if (le::u64(hb, kGptMyLba) != lba) {
        g.fault = "header does not name its own place";
        return g;
    }
    g.firstUsable = le::u64(hb, kGptFirstUsable);
    g.lastUsable = le::u64(hb, kGptLastUsable);
    const uint64_t entriesLba = le::u64(hb, kGptEntriesLba);
    g.count = le::u32(hb, kGptEntryCount);
    g.entrySize = le::u32(hb, kGptEntrySize);
    if (g.firstUsable > g.lastUsable || g.lastUsable >= diskSectors) {
        g.fault = "usable area outside the disk";
        return g;
    }
    if (g.entrySize < 128 || g.entrySize % 128 != 0 || (g.entrySize & (g.entrySize - 1)) != 0) {
        g.fault = "entry size is not 128 times a power of two";
        return g;
    }
    const uint64_t arrayBytes = uint64_t{g.count} * g.entrySize;
    const uint64_t arraySectors = (arrayBytes + ss - 1) / ss;
    if (arrayBytes > kMaxGptArrayBytes || entriesLba < 1 || entriesLba >= diskSectors ||
        arraySectors > diskSectors - entriesLba) {
        g.fault = "entry array out of range";
        return g;
    }
    g.entries.assign(static_cast<size_t>(arrayBytes), 0);
    if (arrayBytes > 0) {
        got = h->ReadAt(entriesLba * ss, g.entries.data(), g.entries.size(), &e);
        if (got != static_cast<int64_t>(arrayBytes)) {
            g.fault = "entry array cannot be read";
            return g;
        }
    }
    if (Crc32(g.entries.data(), g.entries.size()) != le::u32(hb, kGptEntriesCrc)) {
        g.fault = "entry array CRC mismatch";
        return g;
    }
    g.valid = true;
    return g;
}

// The used entries of a checked copy. Entries that leave the usable area
// are left out (logged).
void GptEntries(const GptCopy& g, uint32_t ss, std::vector<LayoutExEntry>& out) {
    le::Bytes all(g.entries.data(), g.entries.size());
    for (uint32_t i = 0; i < g.count; ++i) {
        const size_t off = size_t{i} * g.entrySize;
        le::Bytes b = all.subspan(off, g.entrySize);
        LayoutExEntry x;
        std::memcpy(x.GptType.data(), b.data() + kGpeType, 16);
        if (std::all_of(x.GptType.begin(), x.GptType.end(), [](uint8_t v) { return v == 0; })) continue;
        const uint64_t first = le::u64(b, kGpeFirstLba), last = le::u64(b, kGpeLastLba);
        if (first > last || first < g.firstUsable || last > g.lastUsable) {
            LOG_E("GPT entry %u (LBA %llu to %llu) lies outside the usable area, left out \n", i + 1,
                  static_cast<unsigned long long>(first), static_cast<unsigned long long>(last));
            continue;
        }
        if (out.size() >= kMaxLayoutEntries) {
            LOG_W("GPT holds more than %d partitions, the rest are left out \n", static_cast<int>(kMaxLayoutEntries));
            break;
        }
        std::memcpy(x.GptId.data(), b.data() + kGpeId, 16);
        x.StartingOffset = first * ss;
        x.PartitionLength = (last - first + 1) * ss;
        x.PartitionNumber = i + 1;
        x.Attributes = le::u64(b, kGpeAttributes);
        for (size_t k = 0; k < kGpeNameUnits; ++k) {
            const char16_t c = static_cast<char16_t>(le::u16(b, kGpeName + 2 * k));
            if (c == 0) break;
            x.Name.push_back(c);
        }
        out.push_back(std::move(x));
    }
}

// A protective MBR's GPT: the primary copy, else the backup at the disk's
// last LBA (or where the primary header says it is). False when neither
// copy carries a signature: the disk is no GPT disk after all.
bool ReadGpt(IDeviceHandle* h, uint64_t diskBytes, uint32_t ss, DriveLayoutEx& out) {
    const uint64_t diskSectors = diskBytes ? diskBytes / ss : UINT64_MAX / ss;
    GptCopy primary = ReadGptCopy(h, 1, diskSectors, ss);
    out.Style = PartitionStyle::Gpt;
    if (primary.valid) {
        GptEntries(primary, ss, out.Entries);
        return true;
    }
    LOG_E("primary GPT is damaged (%s), trying the backup \n", primary.fault);
    GptCopy backup = diskBytes ? ReadGptCopy(h, diskSectors - 1, diskSectors, ss) : GptCopy{};
    if (!backup.valid && primary.signature) {
        // A header that holds together names the backup's place itself.
        int e = 0;
        std::vector<uint8_t> hdr(ss);
        if (h->ReadAt(ss, hdr.data(), hdr.size(), &e) == static_cast<int64_t>(hdr.size())) {
            const uint64_t alt = le::u64(le::Bytes(hdr.data(), hdr.size()), kGptAlternateLba);
            if (alt != diskSectors - 1 && alt != 1) backup = ReadGptCopy(h, alt, diskSectors, ss);
        }
    }
    if (backup.valid) {
        LOG_W("using the backup GPT \n");
        out.FromBackup = true;
        GptEntries(backup, ss, out.Entries);
        return true;
    }
    if (!primary.signature && !backup.signature) return false;
    LOG_E("backup GPT is damaged too (%s): the partitions cannot be listed \n", backup.fault);
    out.Readable = false;
    return true;
}

}  // namespace

int ReadDriveLayoutEx(IDeviceHandle* h, uint64_t diskBytes, uint32_t sectorSize, DriveLayoutEx& out, int* err) {
    out = DriveLayoutEx{};
    uint8_t mbr[512];
    if (ReadMasterBootRecord(h, sectorSize, mbr, err) < 0) return -1;
    le::Bytes sec(mbr, sizeof mbr);
    if (!HasSignature(sec)) return 0;  // RAW

    // A protective entry, alone or beside others (a hybrid MBR, whose other
    // entries mirror some GPT partitions for older systems): the GPT rules.
    bool protective = false;
    for (int i = 0; i < 4; ++i)
        if (EntryAt(sec, i).type == 0xEE) protective = true;
    if (protective && ReadGpt(h, diskBytes, sectorSize, out)) return 0;
    out = DriveLayoutEx{};

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
