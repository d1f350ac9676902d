// The copy map in GNU ddrescue's format, checked against ddrescue's own
// tools: ddrescuelog must read our maps and count the same bytes, and we must
// read the maps ddrescue writes.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "io/rescuemap.h"
#include "testutil.h"

namespace {

std::string Blocks(const CRescueMap& m) {
    std::string s;
    m.ForEach([&](const MapBlock& b) { s += std::to_string(b.pos) + "+" + std::to_string(b.size) + b.status + " "; });
    return s;
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

// Bytes of the blocks of `status` as ddrescuelog counts them: the sectors it
// lists times 512 (the maps here are whole sectors).
uint64_t DdrescuelogBytes(const std::string& mapPath, char status) {
    int rc = -1;
    const std::string out =
        testutil::Capture("ddrescuelog -b512 --list-blocks=" + std::string(1, status) + " " + Quote(mapPath), &rc);
    EXPECT_EQ(rc, 0) << out;
    std::istringstream in(out);
    uint64_t n = 0;
    std::string line;
    while (std::getline(in, line))
        if (!line.empty()) ++n;
    return n * 512;
}

}  // namespace

TEST(RescueMap, ReadsWhatTheFormatAllows) {
    const std::string text =
        "# Mapfile. Created by GNU ddrescue version 1.27\n"
        "# current_pos  current_status  current_pass\n"
        "0x00120000     /               3   # a comment after blanks\n"
        "#      pos        size  status\n"
        "\n"
        "0x00001000  0x00001000  +\n"
        "8192        010000      +\n"  // decimal and octal (4096) join the block before
        "0x3000  0x200  -\n"
        "0x3200\t0xE00\t*\n";
    CRescueMap m;
    std::string error;
    ASSERT_EQ(m.Parse(text, error), 0) << error;
    EXPECT_EQ(m.currentPos, 0x120000u);
    EXPECT_EQ(m.currentStatus, '/');
    EXPECT_EQ(m.currentPass, 3);
    // Before the first block lies a non-tried one.
    EXPECT_EQ(Blocks(m), "0+4096? 4096+8192+ 12288+512- 12800+3584* ");
    EXPECT_EQ(m.Extent(), 0x4000u);
    EXPECT_EQ(m.FailedAreas(), 1u);  // the bad sector and the non-trimmed block touch

    // Older maps have no pass.
    ASSERT_EQ(m.Parse("0 ?\n0 0x400 +\n", error), 0) << error;
    EXPECT_EQ(m.currentPass, 1);
    EXPECT_EQ(Blocks(m), "0+1024+ ");
    // An empty file is a map with nothing in it.
    ASSERT_EQ(m.Parse("# nothing yet\n", error), 0);
    EXPECT_EQ(m.Extent(), 0u);
}

TEST(RescueMap, RefusesBrokenMaps) {
    const struct {
        const char* text;
        const char* reason;
    } cases[] = {
        {"0 ? 1\n0 0x200 +\n0x400 0x200 +\n", "line 3: a gap before the block"},
        {"0 ? 1\n0 0x400 +\n0x200 0x200 -\n", "line 3: the block overlaps the one before"},
        {"0 ? 1\n0 0x200 x\n", "line 2: a block must be"},
        {"0 ? 1\n0 0x200\n", "line 2: a block must be"},
        {"0 ? 1\n0 0x200 + extra\n", "line 2: a block must be"},
        {"0 ? 1\n-1 0x200 +\n", "line 2: a block must be"},
        {"0 ? 1\n0 0x8000000000000000 +\n", "line 2: a block must be"},           // past INT64_MAX
        {"0 ? 1\n0x7FFFFFFFFFFFFFFF 1 +\n", "line 2: the block ends past"},
        {"0 ? 1\n09 0x200 +\n", "line 2: a block must be"},                        // 9 is no octal digit
        {"0 ? 1\n0x 0x200 +\n", "line 2: a block must be"},
        {"0 Q 1\n", "line 1: the status line"},
        {"0 ? 0x1\n", "line 1: the pass must be a decimal number"},
        {"0 ? 0\n", "line 1: the pass must be 1 or more"},
        {"0\n", "line 1: the status line"},
    };
    for (const auto& c : cases) {
        CRescueMap m(4096);
        std::string error;
        EXPECT_EQ(m.Parse(c.text, error), -1) << c.text;
        EXPECT_EQ(error.rfind(c.reason, 0), 0u) << c.text << " gave " << error;
        EXPECT_EQ(m.Extent(), 0u);
    }
}

TEST(RescueMap, MarksJoinAndSplitBlocks) {
    CRescueMap m(8192);
    m.Mark(1024, 1024, '+');
    EXPECT_EQ(Blocks(m), "0+1024? 1024+1024+ 2048+6144? ");
    m.Mark(2048, 512, '+');  // joins the block before
    EXPECT_EQ(Blocks(m), "0+1024? 1024+1536+ 2560+5632? ");
    m.Mark(512, 3072, '-');  // swallows and cuts blocks
    EXPECT_EQ(Blocks(m), "0+512? 512+3072- 3584+4608? ");
    m.Mark(0, 512, '-');
    m.Mark(3584, 100000, '-');  // clipped at the end, joined on both sides
    EXPECT_EQ(Blocks(m), "0+8192- ");
    m.Mark(4096, 512, '+');
    MapBlock b;
    ASSERT_TRUE(m.FindFrom(4200, '+', b));
    EXPECT_EQ(b.pos, 4200u);
    EXPECT_EQ(b.size, 408u);
    ASSERT_TRUE(m.FindBefore(4096, '-', b));
    EXPECT_EQ(b.pos, 0u);
    EXPECT_EQ(b.size, 4096u);
    EXPECT_FALSE(m.FindFrom(4608, '+', b));
    EXPECT_EQ(m.StatusAt(4096), '+');
    EXPECT_EQ(m.StatusAt(99999), '?');
    EXPECT_EQ(m.FailedAreas(), 2u);
    m.Resize(4300);
    EXPECT_EQ(Blocks(m), "0+4096- 4096+204+ ");
    m.Resize(5000);
    EXPECT_EQ(Blocks(m), "0+4096- 4096+204+ 4300+700? ");
}

// Random maps written by us, read by ddrescuelog: it must accept them and
// count the same bytes of every status; and what we write we read back.
TEST(RescueMap, DdrescuelogReadsOurMaps) {
    if (!testutil::HaveTool("ddrescuelog")) GTEST_SKIP() << "ddrescuelog (gddrescue) is not installed";
    testutil::TempDir dir;
    std::mt19937_64 rng(20);
    for (int round = 0; round < 2; ++round) {
        const uint64_t sectors = 2048 + rng() % 4096;
        CRescueMap m(sectors * 512);
        const char statuses[] = {'+', '-', '*', '/', '?'};
        for (int i = 0; i < 60; ++i)
            m.Mark((rng() % sectors) * 512, (1 + rng() % 64) * 512, statuses[rng() % 5]);
        m.currentPos = (rng() % sectors) * 512;
        m.currentStatus = statuses[round * 2];
        m.currentPass = 1 + round;
        const std::string path = dir / ("map" + std::to_string(round));
        ASSERT_TRUE(testutil::WriteFileBytes(path, [&] {
            const std::string t = m.Format("Mapfile. Created by a test\nCommand line: none");
            return std::vector<uint8_t>(t.begin(), t.end());
        }()));
        EXPECT_EQ(testutil::Run("ddrescuelog -t " + Quote(path) + " >/dev/null"), 0);
        for (char s : statuses) EXPECT_EQ(DdrescuelogBytes(path, s), m.Bytes(s)) << "status " << s;

        CRescueMap back;
        std::string error;
        const std::string text = m.Format("again");
        ASSERT_EQ(back.Parse(text, error), 0) << error;
        EXPECT_EQ(Blocks(back), Blocks(m));
        EXPECT_EQ(back.currentPos, m.currentPos);
        EXPECT_EQ(back.currentStatus, m.currentStatus);
        EXPECT_EQ(back.currentPass, m.currentPass);
    }
}

// Maps that ddrescue itself wrote (a copy with simulated bad areas, stopped
// at the first error or left without scraping) read as ddrescuelog reads them.
TEST(RescueMap, ReadsMapsDdrescueWrote) {
    if (!testutil::HaveTool("ddrescue") || !testutil::HaveTool("ddrescuelog"))
        GTEST_SKIP() << "ddrescue (gddrescue) is not installed";
    testutil::TempDir dir;
    ASSERT_EQ(testutil::Run("head -c 2097152 /dev/urandom > " + Quote(dir / "src")), 0);
    // ddrescue's test mode: the finished blocks of this map read, the rest fail.
    ASSERT_TRUE(testutil::WriteFileBytes(dir / "bad.map", [] {
        const std::string t = "0 + 1\n0 0x40000 +\n0x40000 0x20000 -\n0x60000 0x80000 +\n0xE0000 0x400 -\n"
                              "0xE0400 0x11FC00 +\n";
        return std::vector<uint8_t>(t.begin(), t.end());
    }()));
    const char* runs[] = {"-X 1", "-n", ""};
    for (const char* options : runs) {
        const std::string map = dir / "map", img = dir / "img";
        testutil::Run("rm -f " + Quote(map) + " " + Quote(img));
        testutil::Run("ddrescue -q -H " + Quote(dir / "bad.map") + " " + options + " " + Quote(dir / "src") + " " +
                      Quote(img) + " " + Quote(map) + " || true");
        const std::vector<uint8_t> bytes = testutil::ReadFileBytes(map);
        ASSERT_FALSE(bytes.empty()) << options;
        CRescueMap m;
        std::string error;
        ASSERT_EQ(m.Parse(std::string(bytes.begin(), bytes.end()), error), 0) << error;
        EXPECT_EQ(m.Extent(), 2097152u) << options;
        for (char s : {'+', '-', '*', '/', '?'}) EXPECT_EQ(m.Bytes(s), DdrescuelogBytes(map, s)) << options << s;
        EXPECT_GT(m.Bytes('*') + m.Bytes('/') + m.Bytes('-'), 0u) << options;
    }
}
