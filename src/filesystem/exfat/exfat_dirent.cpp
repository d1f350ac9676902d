#include "filesystem/exfat/exfat_dirent.h"

#include <algorithm>

#include "io/le.h"

namespace {

// Field offsets.
constexpr size_t kSecondaryCount = 1;  // File entry, u8
constexpr size_t kSetChecksum = 2;     // File entry, u16
constexpr size_t kAttributes = 4;      // u16
constexpr size_t kCreated = 8;         // u32
constexpr size_t kModified = 12;       // u32
constexpr size_t kModified10ms = 21;   // u8
constexpr size_t kModifiedUtc = 23;    // u8
constexpr size_t kStreamFlags = 1;     // Stream Extension entry, u8
constexpr size_t kNameLength = 3;      // u8
constexpr size_t kValidLength = 8;     // u64
constexpr size_t kFirstCluster = 20;   // u32, also in bitmap entries
constexpr size_t kDataLength = 24;     // u64, also in bitmap entries
constexpr size_t kNameChars = 2;       // File Name entry: 15 UTF-16 units
constexpr size_t kUnitsPerNameEntry = 15;
constexpr size_t kLabelLength = 1;     // Volume Label entry: u8, at most 11
constexpr size_t kLabelChars = 2;

// A file's set has a File, a Stream Extension and 1 to 17 File Name entries.
constexpr unsigned kMinSecondary = 2;
constexpr unsigned kMaxSecondary = 18;

bool IsSecondary(uint8_t type) { return (type & 0x40) != 0; }

// Parses the set whose File entry is at `first`; false when it is not a well
// formed set of the given in-use state with a matching checksum.
bool ParseSet(std::span<const uint8_t> bytes, size_t first, bool deleted, ExfatFileEntry& f) {
    const size_t at = first * EXFAT_ENTRY_SIZE;
    const unsigned secondary = le::u8(bytes, at + kSecondaryCount);
    if (secondary < kMinSecondary || secondary > kMaxSecondary) return false;
    const size_t setBytes = (size_t{secondary} + 1) * EXFAT_ENTRY_SIZE;
    if (!le::fits(bytes, at, setBytes)) return false;
    std::span<const uint8_t> set = bytes.subspan(at, setBytes);

    const uint8_t inUse = deleted ? 0 : EXFAT_IN_USE;
    // Every secondary entry must be a secondary of the same state.
    for (unsigned k = 1; k <= secondary; ++k) {
        uint8_t t = set[k * EXFAT_ENTRY_SIZE];
        if ((t & EXFAT_IN_USE) != inUse || !IsSecondary(t)) return false;
    }
    if ((set[EXFAT_ENTRY_SIZE] | EXFAT_IN_USE) != EXFAT_ENTRY_STREAM) return false;
    if (ExfatEntrySetChecksum(set, deleted) != le::u16(set, kSetChecksum)) return false;

    const size_t s = EXFAT_ENTRY_SIZE;
    const unsigned nameLength = le::u8(set, s + kNameLength);
    const unsigned nameEntries = (nameLength + kUnitsPerNameEntry - 1) / kUnitsPerNameEntry;
    if (nameLength == 0 || nameEntries + 1 > secondary) return false;

    f.deleted = deleted;
    f.entryIndex = first;
    f.attributes = le::u16(set, kAttributes);
    f.created = le::u32(set, kCreated);
    f.modified = le::u32(set, kModified);
    f.modified10ms = le::u8(set, kModified10ms);
    f.modifiedUtcOffset = le::u8(set, kModifiedUtc);
    f.streamFlags = le::u8(set, s + kStreamFlags);
    f.validDataLength = le::u64(set, s + kValidLength);
    f.firstCluster = le::u32(set, s + kFirstCluster);
    f.dataLength = le::u64(set, s + kDataLength);
    f.name.clear();
    for (unsigned k = 0; k < nameEntries; ++k) {
        const size_t e = (2 + size_t{k}) * EXFAT_ENTRY_SIZE;
        if ((set[e] | EXFAT_IN_USE) != EXFAT_ENTRY_NAME) return false;
        for (size_t u = 0; u < kUnitsPerNameEntry && f.name.size() < nameLength; ++u)
            f.name.push_back(static_cast<char16_t>(le::u16(set, e + kNameChars + 2 * u)));
    }
    // A set that cannot hold data has no clusters.
    if (!(f.streamFlags & EXFAT_FLAG_ALLOCATION_POSSIBLE)) {
        f.firstCluster = 0;
        f.dataLength = 0;
    }
    return true;
}

}  // namespace

uint16_t ExfatEntrySetChecksum(std::span<const uint8_t> set, bool asInUse) {
    uint16_t sum = 0;
    for (size_t i = 0; i < set.size(); ++i) {
        if (i == kSetChecksum || i == kSetChecksum + 1) continue;
        uint8_t b = set[i];
        if (asInUse && i % EXFAT_ENTRY_SIZE == 0) b |= EXFAT_IN_USE;
        sum = static_cast<uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + b);
    }
    return sum;
}

void ParseExfatDirectory(std::span<const uint8_t> bytes, bool withDeleted, ExfatDirectory& out) {
    const size_t entries = bytes.size() / EXFAT_ENTRY_SIZE;
    for (size_t i = 0; i < entries; ++i) {
        const size_t at = i * EXFAT_ENTRY_SIZE;
        const uint8_t type = bytes[at];
        if (type == EXFAT_ENTRY_END) {
            out.ended = true;
            return;
        }
        if (type == EXFAT_ENTRY_FILE || (withDeleted && type == (EXFAT_ENTRY_FILE & ~EXFAT_IN_USE))) {
            const bool deleted = type != EXFAT_ENTRY_FILE;
            ExfatFileEntry f;
            if (ParseSet(bytes, i, deleted, f)) {
                out.files.push_back(std::move(f));
                // The secondary entries are skipped with the set.
                i += le::u8(bytes, at + kSecondaryCount);
            } else {
                // Only the File entry is passed over: what follows a broken
                // set may be the start of a good one.
                ++(deleted ? out.badDeleted : out.badSets);
            }
        } else if (type == EXFAT_ENTRY_BITMAP) {
            out.bitmaps.push_back({le::u8(bytes, at + 1), le::u32(bytes, at + kFirstCluster),
                                   le::u64(bytes, at + kDataLength)});
        } else if (type == EXFAT_ENTRY_LABEL) {
            const size_t n = std::min<size_t>(le::u8(bytes, at + kLabelLength), 11);
            out.label.clear();
            for (size_t u = 0; u < n; ++u)
                out.label.push_back(static_cast<char16_t>(le::u16(bytes, at + kLabelChars + 2 * u)));
        }
    }
}

int64_t ExfatTimeToUnix(uint32_t packed, uint8_t tenMs, uint8_t utcOffset) {
    const int year = 1980 + static_cast<int>(packed >> 25);
    const int month = static_cast<int>((packed >> 21) & 0x0F);
    const int day = static_cast<int>((packed >> 16) & 0x1F);
    const int hour = static_cast<int>((packed >> 11) & 0x1F);
    const int minute = static_cast<int>((packed >> 5) & 0x3F);
    const int second = static_cast<int>(packed & 0x1F) * 2 + (tenMs <= 199 ? tenMs / 100 : 0);
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) return -1;
    // Days from the civil date (proleptic Gregorian calendar).
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = y / 400;
    const int yoe = y - era * 400;
    const int mp = (month + 9) % 12;
    const int doy = (153 * mp + 2) / 5 + day - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t days = int64_t{era} * 146097 + doe - 719468;
    int64_t t = days * 86400 + hour * 3600 + minute * 60 + second;
    if (utcOffset & 0x80) {
        // Seven-bit two's complement count of 15-minute steps east of UTC.
        int quarters = utcOffset & 0x7F;
        if (quarters & 0x40) quarters -= 0x80;
        t -= int64_t{quarters} * 15 * 60;
    }
    return t;
}
