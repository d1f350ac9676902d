// FAT directory entries as the FAT12/16/32 walks read them: 8.3 names in the
// volume's OEM code page, VFAT long names, modification times, and what a
// deleted entry still tells (its name less the first byte, its long name,
// its size and first cluster).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

// One 32-byte directory entry as stored.
using FatDirEntry = std::array<uint8_t, 32>;

// Short (8.3) entry layout.
constexpr size_t FAT_DIRENT_NAME = 0;        // 11 bytes: base (8) and extension (3), blank-padded
constexpr size_t FAT_DIRENT_ATTR = 11;       // uint8
constexpr size_t FAT_DIRENT_CASE = 12;       // uint8: 0x08 base, 0x10 extension stored upper, shown lower
constexpr size_t FAT_DIRENT_CLUSTER_HI = 20; // uint16 (0 on FAT12/16)
constexpr size_t FAT_DIRENT_WTIME = 22;      // uint16: hour << 11 | minute << 5 | second / 2
constexpr size_t FAT_DIRENT_WDATE = 24;      // uint16: (year - 1980) << 9 | month << 5 | day
constexpr size_t FAT_DIRENT_CLUSTER_LO = 26; // uint16
constexpr size_t FAT_DIRENT_FILESIZE = 28;   // uint32

// Long-name entry layout: 13 UTF-16 units in three pieces.
constexpr size_t FAT_LFN_ORDINAL = 0;   // uint8: part number 1..20, 0x40 on the last part
constexpr size_t FAT_LFN_TYPE = 12;     // uint8: 0
constexpr size_t FAT_LFN_CHECKSUM = 13; // uint8: checksum of the short name it belongs to
constexpr size_t FAT_LFN_UNITS = 13;
constexpr unsigned FAT_LFN_MAX_PARTS = 20;  // 255 units

constexpr uint8_t FAT_ATTR_VOLUME_ID = 0x08;
constexpr uint8_t FAT_ATTR_DIRECTORY = 0x10;
constexpr uint8_t FAT_ATTR_LONG_NAME = 0x0F;  // read-only, hidden, system and volume id
constexpr uint8_t FAT_ENTRY_END = 0x00;       // this entry and every later one are unused
constexpr uint8_t FAT_ENTRY_DELETED = 0xE5;
constexpr uint8_t FAT_ENTRY_KANJI_E5 = 0x05;  // a name whose first byte really is 0xE5

// Unicode of each OEM code page byte from 0x80 to 0xFF.
using OemCodePage = std::array<char16_t, 128>;
// Code page 437, what FAT volumes use unless told otherwise.
const OemCodePage& CodePage437();

// The checksum a long name's parts carry: of the 11 name bytes of its short entry.
uint8_t FatShortNameChecksum(std::span<const uint8_t, 11> name);

// The 8.3 name of a short entry as text ("README.TXT", "FOO"; empty when the
// base is blank), bytes decoded through `oem`; the case flags of byte 12
// applied; a first byte 0x05 read as 0xE5. `firstByte`, when not 0, stands
// for the stored first byte (a deleted entry's lost one). Control bytes and
// '/' become '_'. No trimming beyond the blank padding.
std::u16string DecodeShortName(const FatDirEntry& entry, const OemCodePage& oem = CodePage437(),
                               uint8_t firstByte = 0);

// A directory entry time as seconds since 1970 UTC, taking the stored clock
// as local time of this machine (FAT keeps no time zone); 0 when the date is
// 0 or not a real date.
int64_t FatTimeToUnix(uint16_t date, uint16_t time);

// How the first character of a deleted entry's 8.3 name was found.
enum class FatFirstChar {
    Stored,    // a live entry: nothing was lost
    LongName,  // the only byte that makes the long name's checksum agree
    Inferred,  // the one other names of the folder with the same pattern share
    Unknown,   // nothing tells it: "_"
};

// One file or folder of a directory: a short entry with its long name.
struct FatDirItem {
    FatDirEntry entry{};       // the short entry as stored (a deleted one keeps 0xE5 first)
    uint32_t index = 0;        // its position among the directory's entries
    std::u16string name;       // the long name when one belongs to it, else the 8.3 name
    std::u16string shortName;  // the 8.3 name, its first character restored as far as known
    bool deleted = false;
    bool hasLongName = false;  // `name` is a long name whose checksum agreed
    FatFirstChar firstChar = FatFirstChar::Stored;
    uint8_t firstByte = 0;     // the 8.3 name's first byte as stored or restored ('_' when unknown)

    uint8_t Attributes() const { return entry[FAT_DIRENT_ATTR]; }
    bool IsDirectory() const { return (entry[FAT_DIRENT_ATTR] & FAT_ATTR_DIRECTORY) != 0; }
    uint32_t FirstCluster() const;  // high word << 16 | low word
    uint32_t Size() const;
    int64_t ModifiedTime() const;   // FatTimeToUnix of the entry's write date and time
    bool IsDotEntry() const;        // "." or ".."
};

// Splits a directory's entries into files and folders, up to the end mark
// (an entry whose first byte is 0). Volume labels are left out; long-name
// parts are joined to the short entry that follows them when their part
// numbers run down to 1 and their checksums agree with it, and are otherwise
// dropped. Deleted entries are kept when `withDeleted`: their long-name
// parts have lost their part numbers, so the parts just before the short
// entry are taken while their checksums agree and the name's end mark
// closes them; the long name is kept only when exactly one first byte makes
// the checksum agree and that byte fits the long name's first character,
// and that byte then restores the 8.3 name. Every entry is looked at once;
// nothing is read outside `entries`.
std::vector<FatDirItem> ParseFatDirectory(std::span<const FatDirEntry> entries, bool withDeleted,
                                          const OemCodePage& oem = CodePage437());

// Gives each deleted 8.3 name that has no long name its first character:
// the one the other names of the folder (live ones, and deleted ones whose
// first byte is known) that share the rest of its pattern begin with, digits
// counting as alike ("_MG_0041.JPG" among IMG_0040.JPG and IMG_0042.JPG is
// IMG_0041.JPG); the most common one when they differ, the nearest entry's
// among equals; "_" when no name shares the pattern. Updates `name` and
// `shortName` of those items.
void InferLostFirstCharacters(std::vector<FatDirItem>& items, const OemCodePage& oem = CodePage437());
