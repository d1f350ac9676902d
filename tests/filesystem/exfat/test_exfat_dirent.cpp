// exFAT entry sets: one hand-made set and one test per way a set is refused.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "filesystem/exfat/exfat_dirent.h"
#include "io/le.h"

namespace {

// A File entry, a Stream Extension entry and the File Name entries of `name`,
// with the checksum the set's writer would give it.
std::vector<uint8_t> MakeSet(const std::u16string& name, uint32_t firstCluster, uint64_t size, uint8_t flags = 0x03,
                             uint16_t attributes = 0x20) {
    const size_t nameEntries = (name.size() + 14) / 15;
    std::vector<uint8_t> set((2 + nameEntries) * 32, 0);
    set[0] = 0x85;
    set[1] = static_cast<uint8_t>(1 + nameEntries);
    le::put16(set, 4, attributes);
    le::put32(set, 12, 0x585D6DBD);  // 2024-02-29 13:45:58
    set[21] = 100;                   // one more second
    set[23] = 0x84;                  // UTC+1
    set[32] = 0xC0;
    set[33] = flags;
    set[35] = static_cast<uint8_t>(name.size());
    le::put32(std::span<uint8_t>(set).subspan(32), 8, static_cast<uint32_t>(size));
    le::put32(std::span<uint8_t>(set).subspan(32), 20, firstCluster);
    le::put32(std::span<uint8_t>(set).subspan(32), 24, static_cast<uint32_t>(size));
    for (size_t k = 0; k < nameEntries; ++k) {
        set[(2 + k) * 32] = 0xC1;
        for (size_t u = 0; u < 15 && k * 15 + u < name.size(); ++u)
            le::put16(std::span<uint8_t>(set).subspan((2 + k) * 32), 2 + 2 * u, name[k * 15 + u]);
    }
    le::put16(set, 2, ExfatEntrySetChecksum(set));
    return set;
}

std::vector<uint8_t> Deleted(std::vector<uint8_t> set) {
    for (size_t i = 0; i < set.size(); i += 32) set[i] &= 0x7F;
    return set;
}

ExfatDirectory Parse(const std::vector<uint8_t>& bytes, bool withDeleted = true) {
    ExfatDirectory d;
    ParseExfatDirectory(bytes, withDeleted, d);
    return d;
}

const std::u16string kLongName = u"Holiday – Café 日本.jpg and more";  // three name entries

TEST(ExfatDirent, ReadsAWholeSet) {
    auto set = MakeSet(kLongName, 1234, 987654, 0x03);
    ExfatDirectory d = Parse(set);
    ASSERT_EQ(d.files.size(), 1u);
    const ExfatFileEntry& f = d.files[0];
    EXPECT_EQ(f.name, kLongName);
    EXPECT_EQ(f.firstCluster, 1234u);
    EXPECT_EQ(f.dataLength, 987654u);
    EXPECT_TRUE(f.NoFatChain());
    EXPECT_FALSE(f.IsDirectory());
    EXPECT_FALSE(f.deleted);
    EXPECT_EQ(f.entryIndex, 0u);
    EXPECT_EQ(ExfatTimeToUnix(f.modified, f.modified10ms, f.modifiedUtcOffset), 1709214358 + 1 - 3600);
    EXPECT_FALSE(d.ended);
}

TEST(ExfatDirent, RefusesMalformedSets) {
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> damage;
        bool keepChecksum;  // recompute the checksum after the damage
    } cases[] = {
        {"checksum mismatch", [](auto& s) { s[40] ^= 1; }, false},
        {"one secondary entry", [](auto& s) { s[1] = 1; }, true},
        {"nineteen secondary entries", [](auto& s) { s[1] = 19; }, true},
        {"no stream entry first", [](auto& s) { s[32] = 0xC1; }, true},
        {"a name entry of another type", [](auto& s) { s[64] = 0xC0 | 0x20; }, true},
        {"a primary among the secondaries", [](auto& s) { s[96] = 0x85; }, true},
        {"name length 0", [](auto& s) { s[35] = 0; }, true},
        {"more name than name entries", [](auto& s) { s[35] = 60; }, true},
        {"set cut by the folder's end", [](auto& s) { s.resize(s.size() - 32); }, false},
    };
    for (const Case& c : cases) {
        auto set = MakeSet(kLongName, 50, 5000);
        c.damage(set);
        if (c.keepChecksum && set.size() >= 4) le::put16(set, 2, ExfatEntrySetChecksum(std::span<const uint8_t>(set).first(std::min<size_t>(set.size(), (size_t{set[1]} + 1) * 32))));
        ExfatDirectory d = Parse(set);
        EXPECT_TRUE(d.files.empty()) << c.what;
        EXPECT_GE(d.badSets, 1u) << c.what;  // a primary among them is one more broken set
    }
}

TEST(ExfatDirent, DeletedSetsKeepTheirNameSizeClusterAndFlag) {
    auto live = MakeSet(u"IMG_0001.JPG", 77, 4096, 0x03);
    auto gone = Deleted(MakeSet(u"IMG_0002.JPG", 99, 8192, 0x01));
    std::vector<uint8_t> folder = live;
    folder.insert(folder.end(), gone.begin(), gone.end());
    folder.resize(folder.size() + 64, 0);  // end of folder, then noise past it
    folder.back() = 0x85;

    ExfatDirectory d = Parse(folder);
    ASSERT_EQ(d.files.size(), 2u);
    EXPECT_TRUE(d.ended);
    EXPECT_FALSE(d.files[0].deleted);
    const ExfatFileEntry& f = d.files[1];
    EXPECT_TRUE(f.deleted);
    EXPECT_EQ(f.name, u"IMG_0002.JPG");
    EXPECT_EQ(f.firstCluster, 99u);
    EXPECT_EQ(f.dataLength, 8192u);
    EXPECT_FALSE(f.NoFatChain());
    EXPECT_EQ(f.entryIndex, live.size() / 32);

    EXPECT_EQ(Parse(folder, false).files.size(), 1u) << "deleted sets only when asked for";

    // Half overwritten: a deleted set whose checksum no longer adds up.
    folder[live.size() + 40] ^= 0xFF;
    d = Parse(folder);
    EXPECT_EQ(d.files.size(), 1u);
    EXPECT_EQ(d.badDeleted, 1u);
    EXPECT_EQ(d.badSets, 0u);
}

TEST(ExfatDirent, AFileThatCannotHoldDataHasNoClusters) {
    auto set = MakeSet(u"empty.jpg", 123, 456, 0x00);
    ExfatDirectory d = Parse(set);
    ASSERT_EQ(d.files.size(), 1u);
    EXPECT_EQ(d.files[0].firstCluster, 0u);
    EXPECT_EQ(d.files[0].dataLength, 0u);
}

TEST(ExfatDirent, RootEntriesBitmapAndLabel) {
    std::vector<uint8_t> root(96, 0);
    root[0] = 0x83;
    root[1] = 4;
    for (int i = 0; i < 4; ++i) le::put16(std::span<uint8_t>(root), 2 + 2 * i, u"CARD"[i]);
    root[32] = 0x81;
    le::put32(std::span<uint8_t>(root).subspan(32), 20, 2);
    le::put32(std::span<uint8_t>(root).subspan(32), 24, 1953);
    root[64] = 0x83;
    root[65] = 200;  // a label longer than 11 units is cut there
    ExfatDirectory d = Parse(root);
    ASSERT_EQ(d.bitmaps.size(), 1u);
    EXPECT_EQ(d.bitmaps[0].firstCluster, 2u);
    EXPECT_EQ(d.bitmaps[0].dataLength, 1953u);
    EXPECT_EQ(d.label.size(), 11u);
}

TEST(ExfatDirent, TimesAsUtcSeconds) {
    EXPECT_EQ(ExfatTimeToUnix(0x00210000, 0, 0), 315532800) << "1980-01-01 00:00:00";
    EXPECT_EQ(ExfatTimeToUnix(0x585D6DBD, 0, 0), 1709214358);
    EXPECT_EQ(ExfatTimeToUnix(0x585D6DBD, 0, 0x80 | 0x7C), 1709214358 + 3600) << "UTC-1";
    EXPECT_EQ(ExfatTimeToUnix(0x585D6DBD, 0, 0x04), 1709214358) << "an offset without its valid bit is ignored";
    EXPECT_EQ(ExfatTimeToUnix(0x00000000, 0, 0), -1) << "month 0";
    EXPECT_EQ(ExfatTimeToUnix(0x01A00000, 0, 0), -1) << "month 13";
}

}  // namespace
