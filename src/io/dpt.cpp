#include "io/dpt.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "io/deviceio.h"
#include "io/disk.h"
#include "io/le.h"
#include "io/log.h"
#include "io/platform/drive_layout.h"
#include "io/utf.h"
#include "io/volmgr.h"

namespace {

// Master boot record: four 16-byte entries from byte 446.
constexpr size_t kMbrEntries = 446;
constexpr size_t kMbrEntrySize = 16;
constexpr size_t kEntryBoot = 0;       // 0x80 = active
constexpr size_t kEntryFirstLba = 8;   // u32
constexpr size_t kEntrySectors = 12;   // u32

// Partition boot sector fields.
constexpr size_t kBsOemName = 3;       // 4 bytes compared: "NTFS"
constexpr size_t kBsBytesPerSec = 11;  // u16
constexpr size_t kBsSecPerClus = 13;   // u8
constexpr size_t kBsReserved = 14;     // u16
constexpr size_t kBsFatCount = 16;     // u8
constexpr size_t kBsRootEntries = 17;  // u16
constexpr size_t kBsTotSec16 = 19;     // u16
constexpr size_t kBsFatSz16 = 22;      // u16
constexpr size_t kBsTotSec32 = 32;     // u32
constexpr size_t kBsFatSz32 = 36;      // u32
constexpr size_t kBsFat16Type = 54;    // "FAT16"
constexpr size_t kBsFat32Type = 82;    // "FAT32"
constexpr size_t kBsSignature = 510;   // 0x55 0xAA

// How many 512-byte sectors one sector of the disk holds. The partition
// tables count in the disk's own sectors; everything here counts in 512.
uint64_t SectorUnit(uint32_t bytesPerSector) {
    if (bytesPerSector < SECTOR_SIZE || bytesPerSector % SECTOR_SIZE != 0) return 1;
    return bytesPerSector / SECTOR_SIZE;
}

bool TextAt(std::span<const uint8_t> b, size_t off, const char* text, bool ignoreCase) {
    for (size_t i = 0; text[i]; ++i) {
        if (!le::fits(b, off + i, 1)) return false;
        int c = b[off + i], t = static_cast<unsigned char>(text[i]);
        if (ignoreCase ? std::toupper(c) != std::toupper(t) : c != t) return false;
    }
    return true;
}

// A GUID written as text ("EBD0A0A2-B9E5-4433-87C0-68B6B72699C7") in GPT's
// on-disk byte order: the first three fields little-endian.
constexpr std::array<uint8_t, 16> Guid(const char (&t)[37]) {
    auto hex = [](char c) -> uint8_t {
        return static_cast<uint8_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    };
    std::array<uint8_t, 16> text{};  // the bytes in the order written
    for (size_t i = 0, k = 0; i < 36 && k < 16; ++i) {
        if (t[i] == '-') continue;
        text[k++] = static_cast<uint8_t>(hex(t[i]) << 4 | hex(t[i + 1]));
        ++i;
    }
    return {text[3], text[2], text[1], text[0], text[5], text[4], text[7], text[6],
            text[8], text[9], text[10], text[11], text[12], text[13], text[14], text[15]};
}

struct GptType {
    std::array<uint8_t, 16> guid;
    const char* name;
    int fs;  // before the boot sector says otherwise
};

constexpr GptType kGptTypes[] = {
    {Guid("C12A7328-F81F-11D2-BA4B-00A0C93EC93B"), "EFI system", FS_FAT32},
    {Guid("EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"), "Basic data", FS_NTFS},
    {Guid("DE94BBA4-06D1-4D40-A16A-BFD50179D6AC"), "Windows recovery", FS_NTFS},
    {Guid("E3C9E316-0B5C-4DB8-817D-F92DF00215AE"), "Microsoft reserved", FS_UNKNOWN},
    {Guid("5808C8AA-7E8F-42E0-85D2-E1E90434CFB3"), "LDM metadata", FS_UNKNOWN},
    {Guid("AF9B60A0-1431-4F62-BC68-3311714A69AD"), "LDM data", FS_UNKNOWN},
    {Guid("0FC63DAF-8483-4772-8E79-3D69D8477DE4"), "Linux data", FS_UNKNOWN},
    {Guid("0657FD6D-A4AB-43C4-84E5-0933C84B4F4F"), "Linux swap", FS_UNKNOWN},
    {Guid("48465300-0000-11AA-AA11-00306543ECAC"), "Apple HFS+", FS_UNKNOWN},
    {Guid("7C3457EF-0000-11AA-AA11-00306543ECAC"), "Apple APFS", FS_UNKNOWN},
    {Guid("21686148-6449-6E6F-744E-656564454649"), "BIOS boot", FS_UNKNOWN},
};

const GptType* FindGptType(const std::array<uint8_t, 16>& type) {
    for (const GptType& t : kGptTypes)
        if (t.guid == type) return &t;
    return nullptr;
}

void SortByOff(PartitionList& list) {
    std::stable_sort(list.begin(), list.end(),
                     [](const auto& a, const auto& b) { return a->GetOff() < b->GetOff(); });
}

}  // namespace

int PartitionKind(const LayoutEntry& entry, uint32_t bytesPerSector) {
    if (IsExtendedType(entry.PartitionType)) return PAR_EXTENDED;
    uint64_t hidden = static_cast<uint64_t>(entry.HiddenSectors) * SectorUnit(bytesPerSector);
    return hidden != entry.StartingOffset / SECTOR_SIZE ? PAR_LOGICAL : PAR_PRIMARY;
}

int FsCodeFromPartitionType(uint8_t type) {
    switch (type) {
    case 0x01: return FS_FAT12;
    case 0x04:
    case 0x06:
    case 0x0E: return FS_FAT16;
    case 0x05:
    case 0x0F:
    case 0x85: return FS_EXTENDED;  // 0x85: the Linux extended container
    case 0x07: return FS_NTFS;
    case 0x0B:
    case 0x0C: return FS_FAT32;
    default: return FS_UNKNOWN;
    }
}

int FatCodeFromBootSector(std::span<const uint8_t> sector) {
    if (sector.size() < SECTOR_SIZE) return 0;
    const uint32_t bps = le::u16(sector, kBsBytesPerSec);
    const uint32_t spc = le::u8(sector, kBsSecPerClus);
    const uint32_t reserved = le::u16(sector, kBsReserved);
    const uint32_t fats = le::u8(sector, kBsFatCount);
    const uint32_t rootEntries = le::u16(sector, kBsRootEntries);
    const uint32_t fatSize = le::u16(sector, kBsFatSz16) ? le::u16(sector, kBsFatSz16) : le::u32(sector, kBsFatSz32);
    const uint32_t total = le::u16(sector, kBsTotSec16) ? le::u16(sector, kBsTotSec16) : le::u32(sector, kBsTotSec32);
    if (bps != SECTOR_SIZE || spc == 0 || (spc & (spc - 1)) != 0 || reserved == 0 || fats == 0 || fatSize == 0)
        return 0;
    const uint64_t rootSectors = (uint64_t{rootEntries} * 32 + bps - 1) / bps;
    const uint64_t dataStart = reserved + uint64_t{fats} * fatSize + rootSectors;
    if (dataStart >= total) return 0;
    // Only FAT32 leaves the 16-bit FAT size 0; otherwise the type follows
    // from the number of clusters, whatever the texts of the boot sector say.
    if (le::u16(sector, kBsFatSz16) == 0) return FS_FAT32;
    const uint64_t clusters = (total - dataStart) / spc;
    if (clusters < 4085) return FS_FAT12;
    if (clusters < 65525) return FS_FAT16;
    return FS_FAT32;
}

int DetectFsFromBootSector(std::span<const uint8_t> sector) {
    if (sector.size() < SECTOR_SIZE) return FS_UNKNOWN;
    // exFAT keeps no BIOS parameter block: its bytes 11-63 are zero.
    if (TextAt(sector, kBsOemName, "EXFAT   ", false) && le::u8(sector, kBsSignature) == 0x55 &&
        le::u8(sector, kBsSignature + 1) == 0xAA)
        return FS_EXFAT;
    uint8_t spc = le::u8(sector, kBsSecPerClus);
    const uint16_t bps = le::u16(sector, kBsBytesPerSec);
    bool valid = le::u8(sector, kBsSignature) == 0x55 && le::u8(sector, kBsSignature + 1) == 0xAA &&
                 bps >= 512 && bps <= 4096 && (bps & (bps - 1)) == 0 && spc >= 1 && (spc & (spc - 1)) == 0;
    if (!valid) return FS_UNKNOWN;
    // NTFS made on a drive of 4096-byte sectors (many large USB disks) counts
    // in them; the FAT walk reads 512-byte sectors only.
    if (TextAt(sector, kBsOemName, "NTFS", true) && le::u16(sector, kBsReserved) == 0) return FS_NTFS;
    if (bps != 512) return FS_UNKNOWN;
    if (int fat = FatCodeFromBootSector(sector)) return fat;
    if (le::u16(sector, kBsRootEntries) == 0 && le::u16(sector, kBsFatSz16) == 0 &&
        TextAt(sector, kBsFat32Type, "FAT32", false))
        return FS_FAT32;
    if (TextAt(sector, kBsFat16Type, "FAT16", false)) return FS_FAT16;
    if (TextAt(sector, kBsFat16Type, "FAT12", false)) return FS_FAT12;
    return 0;
}

int FsCodeFromGptType(const std::array<uint8_t, 16>& type) {
    const GptType* t = FindGptType(type);
    return t ? t->fs : FS_UNKNOWN;
}

const char* GptTypeName(const std::array<uint8_t, 16>& type) {
    const GptType* t = FindGptType(type);
    return t ? t->name : "";
}

std::string PartitionKernelName(const CDisk& disk, int32_t partNo) {
    std::string name = disk.GetKernelName();
    if (name.empty() || partNo <= 0) return {};
    std::string no = std::to_string(partNo);
    if (disk.m_interfaceType == "Image") return name + "#" + no;
    // The kernel puts a 'p' between a disk name ending in a digit and the number.
    if (std::isdigit(static_cast<unsigned char>(name.back()))) return name + "p" + no;
    return name + no;
}

int GetDiskActivePar(const std::string& devicePath, uint64_t& start, uint64_t& count) {
    DevHandle h = DeviceOpenReadOnly(devicePath);
    if (!h) {
        LOG_E("DeviceOpen: %s Failed.\n", devicePath.c_str());
        return -1;
    }
    std::array<uint8_t, SECTOR_SIZE> mbr{};
    if (DeviceReadSectorsEx(h.get(), 0, 1, mbr.data()) != 1) mbr.fill(0);
    h.reset();
    for (size_t i = 0; i < 4; ++i) {
        size_t e = kMbrEntries + i * kMbrEntrySize;
        if (le::u8(mbr, e + kEntryBoot) != 0x80) continue;
        start = le::u32(mbr, e + kEntryFirstLba);
        count = le::u32(mbr, e + kEntrySectors);
        break;
    }
    return 0;
}

int CDpt::LoadPartition() {
    m_parList.clear();
    m_extOff = m_extLen = 0;
    CVolMgr::Instance().EnumVols();
    if (!m_disk) return m_result = -1;

    std::string path = m_disk->GetDevicePath();
    DevHandle h = DeviceOpenReadOnly(path);
    if (!h) {
        LOG_E("DeviceOpen: %s Failed.\n", path.c_str());
        return m_result = -1;
    }
    std::vector<LayoutEntry> layout;
    int err = 0;
    if (Platform().GetDriveLayout(h.get(), layout, &err) != 0 || layout.size() > kMaxLayoutEntries) {
        LOG_E("DeviceIoControl Failed.\n");
        return m_result = -1;
    }
    h.reset();

    // The layout gives bytes and the boot record counts in the disk's own
    // sectors; all I/O and the volume table use 512-byte sectors, so every
    // sector number here is in 512-byte units, whatever the disk's sector size.
    uint32_t bps = static_cast<uint32_t>(m_disk->GetBytesPerSector());
    uint64_t unit = SectorUnit(bps);
    uint64_t activeStart = 0, activeCount = 0;
    GetDiskActivePar(path, activeStart, activeCount);
    activeStart *= unit;
    activeCount *= unit;

    for (size_t i = 0; i < layout.size(); ++i) {
        const LayoutEntry& e = layout[i];
        if (e.PartitionType == 0) continue;
        if (e.PartitionLength < SECTOR_SIZE) continue;  // a slot with a type but no sectors holds nothing
        bool extended = IsExtendedType(e.PartitionType);
        if (extended && i > 3) continue;  // a link to the next extended boot record
        if (extended) {
            m_extOff = e.StartingOffset / SECTOR_SIZE;
            m_extLen = e.PartitionLength / SECTOR_SIZE;
        }

        ParInfor infor;
        infor.Off = e.StartingOffset / SECTOR_SIZE;
        infor.Len = e.PartitionLength / SECTOR_SIZE;
        infor.HiddenSec = static_cast<uint64_t>(e.HiddenSectors) * unit;
        infor.PartNo = static_cast<int32_t>(e.PartitionNumber);
        infor.Type = PartitionKind(e, bps);

        auto par = std::make_unique<CPartition>(m_disk);
        CVolMgr::InitFromInfor(par.get(), m_disk, infor);
        // A disk formatted without a table (a "superfloppy") is one entry
        // numbered 0: its volume is the disk itself.
        par->SetKernelName(infor.PartNo > 0 ? PartitionKernelName(*m_disk, infor.PartNo) : m_disk->GetKernelName());
        if (infor.Off == activeStart && infor.Len == activeCount) par->SetActive(1);

        int fs = FsCodeFromPartitionType(e.PartitionType);
        if (fs != FS_EXTENDED) {
            std::array<uint8_t, SECTOR_SIZE> boot{};
            if (DeviceReadSectorsEx(m_disk->GetHandle(), infor.Off, 1, boot.data()) != 1) {
                LOG_E("Cannot read the first sector (%llu) of partition %d.\n",
                      static_cast<unsigned long long>(infor.Off), infor.PartNo);
                fs = FS_UNKNOWN;
            } else {
                // What the boot sector holds decides; a valid boot sector of
                // no known file system keeps the type's code.
                int d = DetectFsFromBootSector(boot);
                if (d != 0) fs = d;
            }
        }
        par->SetFs(fs);
        m_parList.push_back(std::move(par));
    }

    m_result = FillGaps(m_parList, m_disk->GetTotalSectors(), m_extOff, m_extLen);
    return m_result;
}

int CDpt::LoadGptPartition() {
    m_parList.clear();
    m_extOff = m_extLen = 0;
    CVolMgr::Instance().EnumVols();
    if (!m_disk) return m_result = -1;

    const std::string path = m_disk->GetDevicePath();
    DevHandle h = DeviceOpenReadOnly(path);
    if (!h) {
        LOG_E("DeviceOpen: %s Failed.\n", path.c_str());
        return m_result = -1;
    }
    DriveLayoutEx layout;
    int err = 0;
    if (Platform().GetDriveLayoutEx(h.get(), layout, &err) != 0 || layout.Style != PartitionStyle::Gpt) {
        LOG_E("DeviceIoControl Failed.\n");
        return m_result = -1;
    }
    h.reset();
    if (!layout.Readable) {
        LOG_E("The GPT of %s cannot be read.\n", path.c_str());
        return m_result = -1;
    }

    for (const LayoutExEntry& e : layout.Entries) {
        if (e.PartitionLength < SECTOR_SIZE) continue;
        ParInfor infor;
        infor.Off = e.StartingOffset / SECTOR_SIZE;
        infor.Len = e.PartitionLength / SECTOR_SIZE;
        infor.HiddenSec = infor.Off;
        infor.PartNo = static_cast<int32_t>(e.PartitionNumber);
        infor.Type = PAR_PRIMARY;

        auto par = std::make_unique<CPartition>(m_disk);
        CVolMgr::InitFromInfor(par.get(), m_disk, infor);
        par->SetKernelName(PartitionKernelName(*m_disk, infor.PartNo));

        // The type tells what the partition should hold; a boot sector that
        // says something else (or nothing valid) wins, as for MBR types.
        int fs = FsCodeFromGptType(e.GptType);
        std::array<uint8_t, SECTOR_SIZE> boot{};
        if (DeviceReadSectorsEx(m_disk->GetHandle(), infor.Off, 1, boot.data()) != 1) {
            LOG_E("Cannot read the first sector (%llu) of partition %d.\n",
                  static_cast<unsigned long long>(infor.Off), infor.PartNo);
            fs = FS_UNKNOWN;
        } else if (int d = DetectFsFromBootSector(boot); d != 0) {
            fs = d;
        }
        par->SetFs(fs);
        if (par->GetVolLabel().empty() && !e.Name.empty()) par->SetVolLabel(Utf16ToUtf8(e.Name));
        LOG_V("GPT partition %d: %s, sectors %llu to %llu, file system %d \n", infor.PartNo, GptTypeName(e.GptType),
              static_cast<unsigned long long>(infor.Off), static_cast<unsigned long long>(infor.Off + infor.Len), fs);
        m_parList.push_back(std::move(par));
    }

    m_result = FillGaps(m_parList, m_disk->GetTotalSectors(), 0, 0);
    return m_result;
}

int CDpt::CheckOverlap(uint64_t start, uint64_t count, PartitionList& list) {
    SortByOff(list);
    for (size_t i = 0; i < list.size(); ++i) {
        uint64_t off = list[i]->GetOff(), len = list[i]->GetLen();
        // off + len <= start + count, written so that nothing overflows.
        if (off < start || off - start > count || len > count - (off - start)) {
            LOG_E("Partition %d at sector %llu (%llu sectors) lies outside sectors %llu to %llu.\n",
                  list[i]->GetPartNo(), static_cast<unsigned long long>(off), static_cast<unsigned long long>(len),
                  static_cast<unsigned long long>(start), static_cast<unsigned long long>(start + count));
            return -1;
        }
        if (i + 1 < list.size() && list[i + 1]->GetOff() < off + len) {
            LOG_E("Partition %d at sector %llu overlaps partition %d at sector %llu.\n", list[i]->GetPartNo(),
                  static_cast<unsigned long long>(off), list[i + 1]->GetPartNo(),
                  static_cast<unsigned long long>(list[i + 1]->GetOff()));
            return -1;
        }
    }
    return 0;
}

int CDpt::AddGaps(uint64_t start, uint64_t count, PartitionList& list) {
    if (!m_disk) return -1;
    uint64_t minGap = static_cast<uint64_t>(static_cast<uint32_t>(m_disk->GetHeads())) *
                      static_cast<uint32_t>(m_disk->GetSectorsPerTrack());  // one cylinder
    PartitionList gaps;
    uint64_t cursor = start;  // end of the previous entry
    uint64_t end = start + count;
    for (size_t i = 0; i <= list.size(); ++i) {
        uint64_t next = i < list.size() ? list[i]->GetOff() : end;
        if (next < cursor) {
            LOG_E("Partitions overlap at sector %llu.\n", static_cast<unsigned long long>(next));
            return -1;
        }
        uint64_t gap = next - cursor;
        if (!list.empty() && gap > 0 && gap >= minGap) {
            // A gap takes the level of the entry before it (the first gap that
            // of the first entry).
            int32_t type = list[i == 0 ? 0 : i - 1]->GetType();
            gaps.push_back(MakeFreeEntry(type, m_disk, cursor, gap));
        }
        if (i < list.size()) cursor = list[i]->GetOff() + list[i]->GetLen();
    }
    for (auto& g : gaps) list.push_back(std::move(g));
    return 0;
}

std::unique_ptr<CPartition> CDpt::MakeFreeEntry(int32_t type, CDisk* disk, uint64_t off, uint64_t len) {
    ParInfor infor;
    infor.Off = off;
    infor.Len = len;
    infor.Fs = FS_UNALLOCATED;
    infor.Type = type == PAR_EXTENDED ? PAR_PRIMARY : type;
    auto par = std::make_unique<CPartition>(disk);
    CVolMgr::InitFromInfor(par.get(), disk, infor);
    return par;
}

int CDpt::FillGaps(PartitionList& list, uint64_t totalSectors, uint64_t extOff, uint64_t extLen) {
    if (list.empty()) {
        list.push_back(MakeFreeEntry(PAR_PRIMARY, m_disk, 0, totalSectors));
        return 1;
    }
    PartitionList logical, outer;
    for (auto& p : list) (p->GetType() == PAR_LOGICAL ? logical : outer).push_back(std::move(p));
    list.clear();

    if (CheckOverlap(extOff, extLen, logical) != 0 || CheckOverlap(0, totalSectors, outer) != 0) {
        LOG_E("Partition table of %s is inconsistent.\n", m_disk ? m_disk->GetDevicePath().c_str() : "");
        return -1;
    }
    int r = 0;
    if (logical.empty() && extLen > 0)
        logical.push_back(MakeFreeEntry(PAR_LOGICAL, m_disk, extOff, extLen));
    else
        r = AddGaps(extOff, extLen, logical);
    if (r == 0) r = AddGaps(0, totalSectors, outer);
    if (r != 0) return -1;

    for (auto& p : outer) list.push_back(std::move(p));
    for (auto& p : logical) list.push_back(std::move(p));
    SortByOff(list);
    return static_cast<int>(list.size());
}
