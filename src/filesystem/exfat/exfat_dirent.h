// exFAT folder entries: entry sets of files and folders (a File entry, a
// Stream Extension entry and File Name entries under one checksum), and the
// root folder's own entries (allocation bitmap, volume label).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

constexpr size_t EXFAT_ENTRY_SIZE = 32;

// Entry types: the type code in bits 0-4, bit 5 benign, bit 6 secondary,
// bit 7 in use. A deleted entry keeps its type with bit 7 clear.
constexpr uint8_t EXFAT_ENTRY_END = 0x00;
constexpr uint8_t EXFAT_ENTRY_BITMAP = 0x81;
constexpr uint8_t EXFAT_ENTRY_UPCASE = 0x82;
constexpr uint8_t EXFAT_ENTRY_LABEL = 0x83;
constexpr uint8_t EXFAT_ENTRY_FILE = 0x85;
constexpr uint8_t EXFAT_ENTRY_STREAM = 0xC0;
constexpr uint8_t EXFAT_ENTRY_NAME = 0xC1;
constexpr uint8_t EXFAT_IN_USE = 0x80;

constexpr uint16_t EXFAT_ATTR_DIRECTORY = 0x10;
// General secondary flags of the Stream Extension entry.
constexpr uint8_t EXFAT_FLAG_ALLOCATION_POSSIBLE = 0x01;
constexpr uint8_t EXFAT_FLAG_NO_FAT_CHAIN = 0x02;

// One file or folder as its entry set tells it.
struct ExfatFileEntry {
    size_t entryIndex = 0;          // the File entry's place in the folder, in 32-byte entries
    bool deleted = false;           // in-use bits clear: the set of a deleted file
    uint16_t attributes = 0;        // File entry offset 4
    uint32_t created = 0;           // offset 8, packed date and time
    uint32_t modified = 0;          // offset 12
    uint8_t modified10ms = 0;       // offset 21: 0-199 hundredths past the even second
    uint8_t modifiedUtcOffset = 0;  // offset 23: bit 7 valid, bits 0-6 signed quarter hours
    // Stream Extension entry.
    uint8_t streamFlags = 0;        // offset 1
    uint32_t firstCluster = 0;      // offset 20
    uint64_t validDataLength = 0;   // offset 8
    uint64_t dataLength = 0;        // offset 24
    std::u16string name;            // File Name entries, NameLength units

    bool IsDirectory() const { return (attributes & EXFAT_ATTR_DIRECTORY) != 0; }
    bool NoFatChain() const { return (streamFlags & EXFAT_FLAG_NO_FAT_CHAIN) != 0; }
};

// An allocation bitmap entry of the root folder.
struct ExfatBitmapEntry {
    uint8_t flags = 0;          // offset 1: bit 0 set for the second FAT's bitmap
    uint32_t firstCluster = 0;  // offset 20
    uint64_t dataLength = 0;    // offset 24
};

struct ExfatDirectory {
    std::vector<ExfatFileEntry> files;      // in folder order
    std::vector<ExfatBitmapEntry> bitmaps;  // root folder only
    std::u16string label;                   // root folder only
    size_t badSets = 0;     // live sets left out: checksum mismatch or malformed
    size_t badDeleted = 0;  // deleted sets left out: half overwritten
    bool ended = false;     // an end-of-folder entry was met
};

// The entry set checksum over `set` ((1 + secondary count) entries): every
// byte but the checksum field itself (bytes 2-3 of the File entry). With
// `asInUse`, type bytes count with bit 7 set, as when the set was written.
uint16_t ExfatEntrySetChecksum(std::span<const uint8_t> set, bool asInUse = false);

// Reads the entries of a folder's bytes up to the end-of-folder entry (or the
// end of the bytes). Live entry sets are listed when well formed and their
// checksum matches; deleted ones too when `withDeleted`. Never reads past
// `bytes`.
void ParseExfatDirectory(std::span<const uint8_t> bytes, bool withDeleted, ExfatDirectory& out);

// Seconds since 1970-01-01 UTC of a packed timestamp (bits 25-31 year since
// 1980, 21-24 month, 16-20 day, 11-15 hour, 5-10 minute, 0-4 two-second
// count), its hundredths and its UTC offset byte. A time without a valid
// offset is taken as UTC. -1 for an impossible date.
int64_t ExfatTimeToUnix(uint32_t packed, uint8_t tenMs, uint8_t utcOffset);
