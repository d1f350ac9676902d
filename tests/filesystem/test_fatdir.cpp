#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "filesystem/fatdir.h"
#include "io/le.h"

namespace {

FatDirEntry Short(const char* name11, uint8_t attr = 0x20, uint8_t caseFlags = 0) {
    FatDirEntry e{};
    std::memcpy(e.data(), name11, 11);
    e[FAT_DIRENT_ATTR] = attr;
    e[FAT_DIRENT_CASE] = caseFlags;
    return e;
}

// The long-name parts of `name` for the short entry `s`, last part first,
// as a writer lays them out before the short entry.
std::vector<FatDirEntry> Parts(const std::u16string& name, const FatDirEntry& s) {
    const uint8_t sum = FatShortNameChecksum(std::span<const uint8_t, 11>(s.data(), 11));
    std::u16string units = name;
    if (units.size() % 13 != 0) {
        units.push_back(0);
        while (units.size() % 13 != 0) units.push_back(0xFFFF);
    }
    const size_t n = units.size() / 13;
    std::vector<FatDirEntry> parts;
    for (size_t k = n; k >= 1; --k) {
        FatDirEntry p{};
        p[0] = static_cast<uint8_t>(k | (k == n ? 0x40 : 0));
        p[FAT_DIRENT_ATTR] = FAT_ATTR_LONG_NAME;
        p[FAT_LFN_CHECKSUM] = sum;
        const size_t at[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
        for (size_t u = 0; u < 13; ++u) le::put16(p, at[u], units[(k - 1) * 13 + u]);
        parts.push_back(p);
    }
    return parts;
}

std::vector<FatDirEntry> WithLongName(const std::u16string& name, const FatDirEntry& s) {
    std::vector<FatDirEntry> v = Parts(name, s);
    v.push_back(s);
    return v;
}

// Deletes a file as FAT does: every entry of it gets 0xE5 as first byte.
void Delete(std::vector<FatDirEntry>& entries, size_t from, size_t to) {
    for (size_t k = from; k < to; ++k) entries[k][0] = FAT_ENTRY_DELETED;
}

TEST(FatShortNames, DecodedThroughCodePage437) {
    struct Case {
        const char* name11;
        uint8_t caseFlags;
        std::u16string expected;
    } cases[] = {
        {"README  TXT", 0, u"README.TXT"},
        {"FOO        ", 0, u"FOO"},
        {"           ", 0, u""},
        {"        JPG", 0, u""},
        {"A B     J  ", 0, u"A B.J"},
        {"CAF\x90" "AU~1PNG", 0, u"CAF\u00C9AU~1.PNG"},
        {"\x9A" "BER    JPG", 0, u"\u00DCBER.JPG"},
        {"\xE0\xE1\xE2        ", 0, u"\u03B1\u00DF\u0393"},
        {"\x05" "BC     JPG", 0, u"\u03C3BC.JPG"},  // 0x05 stands for 0xE5
        {"README  TXT", 0x08, u"readme.TXT"},
        {"README  TXT", 0x18, u"readme.txt"},
        {"CAF\x90    JPG", 0x08, u"caf\u00C9.JPG"},   // only ASCII letters change case
        {"AB\x01" "CD   JPG", 0, u"AB_CD.JPG"},
        {"A/B     JPG", 0, u"A_B.JPG"},
    };
    for (const Case& c : cases) EXPECT_EQ(DecodeShortName(Short(c.name11, 0x20, c.caseFlags)), c.expected) << c.name11;
    // A deleted entry's lost first byte is given from outside.
    EXPECT_EQ(DecodeShortName(Short("\xE5MG_0041JPG"), CodePage437(), 'I'), u"IMG_0041.JPG");
    EXPECT_EQ(DecodeShortName(Short("\xE5MG_0041JPG"), CodePage437(), '_'), u"_MG_0041.JPG");
}

TEST(FatLongNames, LiveNamesNeedTheirPartsInOrderAndTheChecksum) {
    const FatDirEntry s = Short("BEACHP~1JPE");
    const std::u16string name = u"beach party at Caf\u00e9 \u65e5\u672c on the \U0001F30A.jpeg";  // three parts

    std::vector<FatDirEntry> good = WithLongName(name, s);
    ASSERT_EQ(good.size(), 4u);
    auto items = ParseFatDirectory(good, false);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].name, name);
    EXPECT_TRUE(items[0].hasLongName);
    EXPECT_EQ(items[0].shortName, u"BEACHP~1.JPE");
    EXPECT_EQ(items[0].index, 3u);

    // Each way to break the parts falls back to the 8.3 name.
    std::vector<std::vector<FatDirEntry>> broken(6, good);
    broken[0][1][FAT_LFN_CHECKSUM] ^= 1;            // a checksum that does not agree
    broken[1][0][0] = 0x03;                         // the last part without its mark
    std::swap(broken[2][0], broken[2][1]);          // parts out of order
    broken[3].erase(broken[3].begin() + 1);         // a part missing
    le::put16(broken[4][2], 3, 0xD800);             // an unpaired surrogate
    le::put16(broken[5][2], 1, '/');                // a character no name holds
    for (size_t k = 0; k < broken.size(); ++k) {
        auto b = ParseFatDirectory(broken[k], false);
        ASSERT_EQ(b.size(), 1u) << k;
        EXPECT_EQ(b[0].name, u"BEACHP~1.JPE") << k;
        EXPECT_FALSE(b[0].hasLongName) << k;
    }

    // A name of exactly 13 units has no end mark.
    auto exact = ParseFatDirectory(WithLongName(u"thirteen_.jpg", Short("THIRTE~1JPG")), false);
    ASSERT_EQ(exact.size(), 1u);
    EXPECT_EQ(exact[0].name, u"thirteen_.jpg");
}

TEST(FatLongNames, DirectoryEndsAtTheEndMarkAndLabelsAreLeftOut) {
    std::vector<FatDirEntry> d = {Short("LABEL      ", 0x08), Short(".          ", 0x10), Short("..         ", 0x10),
                                  Short("A       JPG"), FatDirEntry{}, Short("HIDDEN  JPG")};
    auto items = ParseFatDirectory(d, true);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_TRUE(items[0].IsDotEntry());
    EXPECT_TRUE(items[1].IsDotEntry());
    EXPECT_EQ(items[2].name, u"A.JPG");
}

TEST(FatDeletedEntries, LongNameRestoresTheFirstByte) {
    struct Case {
        const char* name11;
        std::u16string longName;
        std::u16string expected;  // the name the deleted file gets
        std::u16string shortName;
    } cases[] = {
        {"BEACHP~1JPE", u"beach party.jpeg", u"beach party.jpeg", u"BEACHP~1.JPE"},
        {"CAF\x90" "AU~1PNG", u"Caf\u00e9 au lait.png", u"Caf\u00e9 au lait.png", u"CAF\u00C9AU~1.PNG"},
        {"_MAGE~1 JPG", u"+image.jpg", u"+image.jpg", u"_MAGE~1.JPG"},
        {"\x90T\x90     JPG", u"\u00c9t\u00e9.jpg", u"\u00c9t\u00e9.jpg", u"\u00C9T\u00C9.JPG"},
        {"Q0_3A~1 JPG", u"\u6e0b\u8c37.jpg", u"\u6e0b\u8c37.jpg", u"Q0_3A~1.JPG"},  // not from the name: refused
    };
    for (const Case& c : cases) {
        std::vector<FatDirEntry> d = {Short("IMG_0001JPG")};
        std::vector<FatDirEntry> file = WithLongName(c.longName, Short(c.name11));
        d.insert(d.end(), file.begin(), file.end());
        Delete(d, 1, d.size());
        auto items = ParseFatDirectory(d, true);
        ASSERT_EQ(items.size(), 2u);
        const FatDirItem& it = items[1];
        EXPECT_TRUE(it.deleted);
        if (c.name11[0] == 'Q') {
            // A CJK name's first character cannot give 'Q': the parts are not trusted.
            EXPECT_FALSE(it.hasLongName);
            EXPECT_EQ(it.firstChar, FatFirstChar::Unknown);
            EXPECT_EQ(it.name, u"_0_3A~1.JPG");
            continue;
        }
        EXPECT_TRUE(it.hasLongName) << c.name11;
        EXPECT_EQ(it.firstChar, FatFirstChar::LongName);
        EXPECT_EQ(it.name, c.expected);
        EXPECT_EQ(it.shortName, c.shortName);
        // Without asking for deleted entries it is not there.
        EXPECT_EQ(ParseFatDirectory(d, false).size(), 1u);
    }
}

TEST(FatDeletedEntries, PartsOfAnotherFileAreNotTaken) {
    // A deleted file with a long name, then a deleted 8.3 file right after:
    // the parts belong to the first one, whose checksum the second cannot meet.
    std::vector<FatDirEntry> d = WithLongName(u"long name photo.jpg", Short("LONGNA~1JPG"));
    d.push_back(Short("IMG_0042JPG"));
    Delete(d, 0, d.size());
    auto items = ParseFatDirectory(d, true);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].name, u"long name photo.jpg");
    EXPECT_FALSE(items[1].hasLongName);
    EXPECT_EQ(items[1].name, u"_MG_0042.JPG");

    // Parts whose checksums differ among themselves end at the change.
    std::vector<FatDirEntry> mixed = WithLongName(u"abcdefghijklmnopqrstuvwxyz.jpg", Short("ABCDEF~1JPG"));
    mixed[0][FAT_LFN_CHECKSUM] ^= 0x55;
    Delete(mixed, 0, mixed.size());
    auto m = ParseFatDirectory(mixed, true);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_FALSE(m[0].hasLongName);
}

TEST(FatDeletedEntries, FirstCharacterInferredFromTheFolder) {
    struct Case {
        std::vector<const char*> live;     // 11-byte names of live entries, in order
        const char* deleted;               // the deleted one, placed last
        std::u16string expected;
        FatFirstChar how;
    } cases[] = {
        {{"IMG_0040JPG", "IMG_0042JPG"}, "IMG_0041JPG", u"IMG_0041.JPG", FatFirstChar::Inferred},
        // A camera that writes _MG_ for Adobe RGB: the most common wins.
        {{"IMG_0040JPG", "_MG_0042JPG", "IMG_0043JPG"}, "XMG_0041JPG", u"IMG_0041.JPG", FatFirstChar::Inferred},
        // Equal counts: the nearest entry decides.
        {{"IMG_0040JPG", "_MG_0042JPG"}, "XMG_0041JPG", u"_MG_0041.JPG", FatFirstChar::Inferred},
        {{"DSC01234JPG", "DSC01236JPG"}, "XSC01235JPG", u"DSC01235.JPG", FatFirstChar::Inferred},
        // Only the base shares the pattern: still a sibling (IMG_0041.CR2 beside it).
        {{"IMG_0041CR2"}, "XMG_0041JPG", u"IMG_0041.JPG", FatFirstChar::Inferred},
        // Nothing shares it: "_".
        {{"IMG_0040JPG", "README  TXT"}, "XCAN0001PNG", u"_CAN0001.PNG", FatFirstChar::Unknown},
        {{}, "XMG_0041JPG", u"_MG_0041.JPG", FatFirstChar::Unknown},
    };
    for (const Case& c : cases) {
        std::vector<FatDirEntry> d;
        for (const char* n : c.live) d.push_back(Short(n));
        d.push_back(Short(c.deleted));
        Delete(d, d.size() - 1, d.size());
        auto items = ParseFatDirectory(d, true);
        ASSERT_EQ(items.size(), c.live.size() + 1);
        InferLostFirstCharacters(items);
        EXPECT_EQ(items.back().name, c.expected) << c.deleted;
        EXPECT_EQ(items.back().firstChar, c.how) << c.deleted;
        EXPECT_EQ(items.back().shortName, c.expected);
    }
    // A deleted sibling whose first byte its long name gave counts too; one
    // that was only inferred does not lead others.
    std::vector<FatDirEntry> d = WithLongName(u"Img_0040.jpg", Short("IMG_0040JPG"));
    d.push_back(Short("IMG_0041JPG"));
    Delete(d, 0, d.size());
    auto items = ParseFatDirectory(d, true);
    InferLostFirstCharacters(items);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].firstChar, FatFirstChar::LongName);
    EXPECT_EQ(items[1].name, u"IMG_0041.JPG");
}

TEST(FatTimes, EntryClockTakenAsLocalTime) {
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    setenv("TZ", "UTC", 1);
    tzset();
    struct Case {
        uint16_t date, time;
        int64_t expected;
    } cases[] = {
        {static_cast<uint16_t>((43 << 9) | (5 << 5) | 1), static_cast<uint16_t>((12 << 11) | (34 << 5) | 28), 1682944496},
        {static_cast<uint16_t>((0 << 9) | (1 << 5) | 1), 0, 315532800},   // 1980-01-01
        {0, 0, 0},                                                          // never set
        {static_cast<uint16_t>((43 << 9) | (13 << 5) | 1), 0, 0},          // month 13
        {static_cast<uint16_t>((43 << 9) | (5 << 5) | 0), 0, 0},           // day 0
        {static_cast<uint16_t>((43 << 9) | (5 << 5) | 1), static_cast<uint16_t>(24 << 11), 0},  // hour 24
    };
    for (const Case& c : cases) EXPECT_EQ(FatTimeToUnix(c.date, c.time), c.expected) << c.date << " " << c.time;
    if (old) setenv("TZ", saved.c_str(), 1);
    else unsetenv("TZ");
    tzset();
}

}  // namespace
