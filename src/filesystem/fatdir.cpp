#include "filesystem/fatdir.h"

#include <algorithm>
#include <ctime>
#include <string_view>
#include <unordered_map>

#include "io/le.h"

namespace {

constexpr OemCodePage kCp437 = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

constexpr uint8_t kCaseLowerBase = 0x08;
constexpr uint8_t kCaseLowerExt = 0x10;
constexpr uint8_t kLfnLastPart = 0x40;
// Where the 13 units of a long-name part lie: five, six and two.
constexpr size_t kLfnPieces[3][2] = {{1, 5}, {14, 6}, {28, 2}};

// Bytes no 8.3 name may hold, besides controls and lower-case letters.
constexpr std::string_view kBadShortChars = "\"*+,./:;<=>?[\\]|";

bool IsLongNamePart(const FatDirEntry& e) {
    return (e[FAT_DIRENT_ATTR] & 0x3F) == FAT_ATTR_LONG_NAME;
}

// A long-name part as every writer leaves it: type 0 and cluster 0.
bool IsWellFormedPart(const FatDirEntry& e) {
    return IsLongNamePart(e) && e[FAT_LFN_TYPE] == 0 && le::u16(le::Bytes(e), FAT_DIRENT_CLUSTER_LO) == 0;
}

void AppendUnits(const FatDirEntry& e, std::u16string& out) {
    for (const auto& piece : kLfnPieces)
        for (size_t k = 0; k < piece[1]; ++k)
            out.push_back(static_cast<char16_t>(le::u16(le::Bytes(e), piece[0] + 2 * k)));
}

// The name the joined units of a long name's parts hold: up to the first
// 0x0000, after which only 0xFFFF may follow; without an end mark the parts
// are filled exactly. Empty when the units are not a valid name: a control
// character, a '/', an unpaired surrogate, nothing at all.
std::u16string NameOfUnits(const std::u16string& units) {
    size_t end = units.find(u'\0');
    if (end == std::u16string::npos) end = units.size();
    for (size_t k = end + 1; k < units.size(); ++k)
        if (units[k] != 0xFFFF) return {};
    std::u16string name = units.substr(0, end);
    if (name.empty()) return {};
    for (size_t k = 0; k < name.size(); ++k) {
        const char16_t c = name[k];
        if (c < 0x20 || c == 0x7F || c == u'/' || c == 0xFFFF) return {};
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (k + 1 >= name.size() || name[k + 1] < 0xDC00 || name[k + 1] > 0xDFFF) return {};
            ++k;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return {};
        }
    }
    return name;
}

// The long name of the live short entry at `i`: its parts just before it,
// numbered down from the last (0x40 | n) to 1, each with the checksum.
std::u16string LiveLongName(std::span<const FatDirEntry> entries, size_t i, uint8_t checksum) {
    std::u16string units;
    for (unsigned k = 1; k <= FAT_LFN_MAX_PARTS && k <= i; ++k) {
        const FatDirEntry& p = entries[i - k];
        if (!IsLongNamePart(p) || p[0] == FAT_ENTRY_DELETED || p[0] == FAT_ENTRY_END) return {};
        if (p[FAT_LFN_CHECKSUM] != checksum || (p[FAT_LFN_ORDINAL] & ~kLfnLastPart) != k) return {};
        AppendUnits(p, units);
        if (p[FAT_LFN_ORDINAL] & kLfnLastPart) return NameOfUnits(units);
    }
    return {};
}

// The units of the deleted parts just before the deleted short entry at `i`
// (their part numbers are lost): taken while they carry one checksum, up to
// the part that holds the end mark. A name that fills its parts exactly has
// no end mark: its parts are taken only when what comes before them is no
// other long-name part (which would leave it unknown where the name
// begins). Empty when there are none or they cannot be trusted.
std::u16string DeletedLongNameUnits(std::span<const FatDirEntry> entries, size_t i, uint8_t& checksum) {
    std::u16string units;
    unsigned k = 1;
    for (; k <= FAT_LFN_MAX_PARTS && k <= i; ++k) {
        const FatDirEntry& p = entries[i - k];
        if (p[0] != FAT_ENTRY_DELETED || !IsWellFormedPart(p)) break;
        if (k == 1) checksum = p[FAT_LFN_CHECKSUM];
        else if (p[FAT_LFN_CHECKSUM] != checksum) break;
        const size_t before = units.size();
        AppendUnits(p, units);
        const std::u16string_view part(units.data() + before, FAT_LFN_UNITS);
        if (part.find(u'\0') != std::u16string_view::npos || part.find(char16_t{0xFFFF}) != std::u16string_view::npos)
            return units;
    }
    if (units.empty() || k > FAT_LFN_MAX_PARTS) return {};
    if (k <= i && IsLongNamePart(entries[i - k])) return {};
    return units;
}

bool IsValidFirstShortByte(uint8_t b) {
    if (b == FAT_ENTRY_KANJI_E5) return true;
    if (b <= 0x20 || b == 0x7F || b == FAT_ENTRY_DELETED) return false;
    if (b >= 'a' && b <= 'z') return false;
    return kBadShortChars.find(static_cast<char>(b)) == std::string_view::npos;
}

// Whether `b`, as the first byte of an 8.3 name, fits a long name: what a
// writer makes of its first character (leading dots and blanks dropped,
// letters in upper case, characters no 8.3 name takes as "_"; a character
// outside ASCII becomes some OEM byte or "_").
bool FitsLongName(uint8_t b, const std::u16string& name) {
    size_t k = 0;
    while (k < name.size() && (name[k] == u'.' || name[k] == u' ')) ++k;
    if (k == name.size()) return false;
    const char16_t c = name[k];
    if (c >= 0x80) return b >= 0x80 || b == '_' || b == FAT_ENTRY_KANJI_E5;
    uint8_t expected = static_cast<uint8_t>(c);
    if (expected >= 'a' && expected <= 'z') expected = static_cast<uint8_t>(expected - 'a' + 'A');
    if (kBadShortChars.find(static_cast<char>(expected)) != std::string_view::npos) expected = '_';
    return b == expected;
}

// The base (bytes 1 to 7) or the whole rest (bytes 1 to 10) of an 8.3 name
// with every digit taken as '#'.
std::string PatternOf(const FatDirEntry& e, bool withExtension) {
    std::string p;
    const size_t end = withExtension ? 11 : 8;
    for (size_t k = 1; k < end; ++k) {
        const uint8_t b = e[k];
        p.push_back(b >= '0' && b <= '9' ? '#' : static_cast<char>(b));
    }
    return p;
}

}  // namespace

const OemCodePage& CodePage437() { return kCp437; }

uint8_t FatShortNameChecksum(std::span<const uint8_t, 11> name) {
    uint8_t sum = 0;
    for (uint8_t b : name) sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + b);
    return sum;
}

std::u16string DecodeShortName(const FatDirEntry& entry, const OemCodePage& oem, uint8_t firstByte) {
    uint8_t raw[11];
    std::copy(entry.begin(), entry.begin() + 11, raw);
    if (firstByte != 0) raw[0] = firstByte;
    if (raw[0] == FAT_ENTRY_KANJI_E5) raw[0] = FAT_ENTRY_DELETED;

    auto lengthOf = [&](size_t from, size_t count) {
        size_t len = 0;
        for (size_t k = 0; k < count; ++k)
            if (raw[from + k] > 0x20) len = k + 1;
        return len;
    };
    const size_t base = lengthOf(0, 8);
    const size_t ext = lengthOf(8, 3);
    if (base == 0) return {};
    const uint8_t caseFlags = entry[FAT_DIRENT_CASE];
    auto decode = [&](uint8_t b, bool lower) -> char16_t {
        if (b < 0x20 || b == 0x7F || b == '/') return u'_';  // '/' separates folders
        if (b >= 0x80) return oem[b - 0x80];
        if (lower && b >= 'A' && b <= 'Z') return static_cast<char16_t>(b - 'A' + 'a');
        return static_cast<char16_t>(b);
    };
    std::u16string name;
    for (size_t k = 0; k < base; ++k) name.push_back(decode(raw[k], caseFlags & kCaseLowerBase));
    if (ext != 0) {
        name.push_back(u'.');
        for (size_t k = 0; k < ext; ++k) name.push_back(decode(raw[8 + k], caseFlags & kCaseLowerExt));
    }
    return name;
}

int64_t FatTimeToUnix(uint16_t date, uint16_t time) {
    const int day = date & 0x1F, month = (date >> 5) & 0x0F, year = 1980 + (date >> 9);
    const int seconds = 2 * (time & 0x1F), minute = (time >> 5) & 0x3F, hour = time >> 11;
    if (day == 0 || month == 0 || month > 12 || hour > 23 || minute > 59 || seconds > 59) return 0;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = seconds;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    return t == static_cast<std::time_t>(-1) ? 0 : static_cast<int64_t>(t);
}

uint32_t FatDirItem::FirstCluster() const {
    le::Bytes b(entry);
    return (static_cast<uint32_t>(le::u16(b, FAT_DIRENT_CLUSTER_HI)) << 16) | le::u16(b, FAT_DIRENT_CLUSTER_LO);
}

uint32_t FatDirItem::Size() const { return le::u32(le::Bytes(entry), FAT_DIRENT_FILESIZE); }

int64_t FatDirItem::ModifiedTime() const {
    le::Bytes b(entry);
    return FatTimeToUnix(le::u16(b, FAT_DIRENT_WDATE), le::u16(b, FAT_DIRENT_WTIME));
}

bool FatDirItem::IsDotEntry() const {
    static constexpr std::string_view kDot = ".          ", kDotDot = "..         ";
    const std::string_view n(reinterpret_cast<const char*>(entry.data()), 11);
    return n == kDot || n == kDotDot;
}

std::vector<FatDirItem> ParseFatDirectory(std::span<const FatDirEntry> entries, bool withDeleted,
                                          const OemCodePage& oem) {
    std::vector<FatDirItem> items;
    for (size_t i = 0; i < entries.size(); ++i) {
        const FatDirEntry& e = entries[i];
        if (e[0] == FAT_ENTRY_END) break;
        const bool deleted = e[0] == FAT_ENTRY_DELETED;
        if (deleted && !withDeleted) continue;
        if (IsLongNamePart(e) || (e[FAT_DIRENT_ATTR] & FAT_ATTR_VOLUME_ID)) continue;

        FatDirItem item;
        item.entry = e;
        item.index = static_cast<uint32_t>(i);
        item.deleted = deleted;
        std::u16string longName;
        if (!deleted) {
            item.firstByte = e[0];
            longName = LiveLongName(entries, i, FatShortNameChecksum(std::span<const uint8_t, 11>(e.data(), 11)));
        } else {
            item.firstByte = '_';
            item.firstChar = FatFirstChar::Unknown;
            uint8_t checksum = 0;
            const std::u16string name = NameOfUnits(DeletedLongNameUnits(entries, i, checksum));
            if (!name.empty()) {
                // The checksum is a one-to-one function of the first byte
                // once the other ten are fixed: exactly one byte fits.
                uint8_t raw[11];
                std::copy(e.begin(), e.begin() + 11, raw);
                int found = -1;
                for (int b = 0; b < 256; ++b) {
                    raw[0] = static_cast<uint8_t>(b);
                    if (FatShortNameChecksum(raw) != checksum) continue;
                    found = found < 0 ? b : 256;
                }
                if (found >= 0 && found < 256 && IsValidFirstShortByte(static_cast<uint8_t>(found)) &&
                    FitsLongName(static_cast<uint8_t>(found), name)) {
                    longName = name;
                    item.firstByte = static_cast<uint8_t>(found);
                    item.firstChar = FatFirstChar::LongName;
                }
            }
        }
        item.shortName = DecodeShortName(e, oem, item.firstByte);
        item.hasLongName = !longName.empty();
        item.name = item.hasLongName ? longName : item.shortName;
        items.push_back(std::move(item));
    }
    return items;
}

void InferLostFirstCharacters(std::vector<FatDirItem>& items, const OemCodePage& oem) {
    struct Sibling {
        uint8_t firstByte;
        uint32_t index;
    };
    // Names whose first byte is known, by pattern, with and without the extension.
    std::unordered_map<std::string, std::vector<Sibling>> byName, byBase;
    bool anyLost = false;
    for (const FatDirItem& it : items) {
        if (it.firstChar == FatFirstChar::Unknown) {
            anyLost = true;
            continue;
        }
        if (it.IsDotEntry() || it.firstChar == FatFirstChar::Inferred) continue;
        byName[PatternOf(it.entry, true)].push_back({it.firstByte, it.index});
        byBase[PatternOf(it.entry, false)].push_back({it.firstByte, it.index});
    }
    if (!anyLost) return;

    for (FatDirItem& it : items) {
        if (it.firstChar != FatFirstChar::Unknown) continue;
        const std::vector<Sibling>* group = nullptr;
        if (auto f = byName.find(PatternOf(it.entry, true)); f != byName.end()) group = &f->second;
        else if (auto g = byBase.find(PatternOf(it.entry, false)); g != byBase.end()) group = &g->second;
        if (!group || group->empty()) continue;

        std::array<uint32_t, 256> count{};
        std::array<uint32_t, 256> nearest;
        nearest.fill(UINT32_MAX);
        for (const Sibling& s : *group) {
            ++count[s.firstByte];
            const uint32_t d = s.index > it.index ? s.index - it.index : it.index - s.index;
            nearest[s.firstByte] = std::min(nearest[s.firstByte], d);
        }
        int best = -1;
        for (int b = 0; b < 256; ++b) {
            if (count[b] == 0) continue;
            if (best < 0 || count[b] > count[best] || (count[b] == count[best] && nearest[b] < nearest[best])) best = b;
        }
        if (best < 0 || !IsValidFirstShortByte(static_cast<uint8_t>(best))) continue;
        it.firstByte = static_cast<uint8_t>(best);
        it.firstChar = FatFirstChar::Inferred;
        it.shortName = DecodeShortName(it.entry, oem, it.firstByte);
        if (!it.hasLongName) it.name = it.shortName;
    }
}
