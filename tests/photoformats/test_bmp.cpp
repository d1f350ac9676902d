#include <gtest/gtest.h>

#include "photoformats/readers.h"
#include "sample_sources.h"

using namespace readertest;

namespace {

uint32_t Le16(const std::vector<uint8_t>& b, size_t at) { return b[at] | static_cast<uint32_t>(b[at + 1]) << 8; }
uint32_t Le32(const std::vector<uint8_t>& b, size_t at) { return Le16(b, at) | Le16(b, at + 2) << 16; }

StructureResult ReadBytes(const std::vector<uint8_t>& b) {
    CMemoryByteSource src(b);
    return ReadBmpStructure(src);
}

}  // namespace

// Every kind of bitmap ImageMagick writes: its size field, which the headers
// agree with, is its length; the pixels cannot be checked.
TEST(BmpStructure, RealBitmapsEndAtTheirFileSize) {
    REQUIRE_SAMPLES();
    struct Kind {
        const char* name;
        uint32_t infoSize, bits, compression;
    };
    for (const Kind& k : {Kind{"bmp1.bmp", 40, 1, 0}, Kind{"bmp4.bmp", 40, 4, 0}, Kind{"bmp8.bmp", 40, 8, 0},
                          Kind{"rle8.bmp", 40, 8, 1}, Kind{"bmp24.bmp", 40, 24, 0}, Kind{"bmp32.bmp", 124, 32, 3},
                          Kind{"os2.bmp", 12, 8, 0}}) {
        SCOPED_TRACE(k.name);
        auto bytes = Sample(k.name);
        ASSERT_GT(bytes.size(), 1000u);
        EXPECT_EQ(Le32(bytes, 14), k.infoSize);
        EXPECT_EQ(Le16(bytes, k.infoSize == 12 ? 24 : 28), k.bits);
        if (k.infoSize > 12) {
            EXPECT_EQ(Le32(bytes, 30), k.compression);
        }
        bytes.insert(bytes.end(), 3000, 'B');
        StructureResult r = ReadBytes(bytes);
        EXPECT_EQ((Outcome{r.verdict, r.length, std::string(r.why)}), (Outcome{StructureVerdict::Whole, bytes.size() - 3000, ""}));
        EXPECT_TRUE(r.lengthFromHeader);
    }
}

TEST(BmpStructure, SizeFieldThatDisagreesGivesWayToThePixels) {
    REQUIRE_SAMPLES();
    const auto b24 = Sample("bmp24.bmp");  // 301 pixels wide: rows are padded
    const auto rle = Sample("rle8.bmp");
    const uint64_t n = b24.size();
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        Outcome want;
    };
    auto with = [](std::vector<uint8_t> b, size_t at, uint32_t v) { PutLe32(b, at, v); return b; };
    const std::string fromPixels = "BMP file size field disagrees with its pixels: length from its pixels";
    const std::vector<Case> cases = {
        {"size field 0", with(b24, 2, 0), {StructureVerdict::Whole, n, "BMP file size field 0: length from its pixels"}},
        {"size field 4 GB", with(b24, 2, 0xFFFFFFFF), {StructureVerdict::Whole, n, fromPixels}},
        {"size field short of the pixels", with(b24, 2, 1000), {StructureVerdict::Whole, n, fromPixels}},
        {"RLE: the image size field tells", with(rle, 2, 0), {StructureVerdict::Whole, rle.size(), "BMP file size field 0: length from its pixels"}},
        {"RLE of unstated size", with(with(rle, 2, 0), 34, 0), {StructureVerdict::Unbounded, 0, "BMP compressed pixels of unknown size"}},
        {"pixels past the end", std::vector<uint8_t>(b24.begin(), b24.begin() + 5000),
         {StructureVerdict::Broken, 54, "BMP passes the end of the bytes"}},
        {"info header size 41", with(b24, 14, 41), {StructureVerdict::NotThisFormat, 0, "BMP info header size unknown"}},
        {"two planes", with(b24, 26, 0x00180002), {StructureVerdict::NotThisFormat, 0, "BMP plane count not 1"}},
        {"bit count 7", with(b24, 26, 0x00070001), {StructureVerdict::NotThisFormat, 0, "BMP bit count and compression not valid"}},
        {"RLE8 at 24 bits", with(b24, 30, 1), {StructureVerdict::NotThisFormat, 0, "BMP bit count and compression not valid"}},
        {"width 0", with(b24, 18, 0), {StructureVerdict::NotThisFormat, 0, "BMP dimensions not valid"}},
        {"height -2^31", with(b24, 22, 0x80000000u), {StructureVerdict::NotThisFormat, 0, "BMP dimensions not valid"}},
        {"pixels inside the headers", with(b24, 10, 20), {StructureVerdict::NotThisFormat, 0, "BMP pixels overlap its headers"}},
        {"cut inside the header", std::vector<uint8_t>(b24.begin(), b24.begin() + 30), {StructureVerdict::NotThisFormat, 0, "BMP header cut short"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Read(ReadBmpStructure, c.bytes), c.want);
    }
    // A top-down bitmap (negative height) is as long as a bottom-up one.
    auto topDown = b24;
    PutLe32(topDown, 22, static_cast<uint32_t>(-static_cast<int32_t>(Le32(b24, 22))));
    EXPECT_EQ(Read(ReadBmpStructure, topDown), (Outcome{StructureVerdict::Whole, n, ""}));
}

// "BM" at the start of a sector of compressed data is no bitmap.
TEST(BmpStructure, TwoLettersAreNoBitmap) {
    std::vector<uint8_t> b(512);
    uint32_t x = 12345;
    for (auto& v : b) v = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 16);
    b[0] = 'B';
    b[1] = 'M';
    EXPECT_EQ(Read(ReadBmpStructure, b).verdict, StructureVerdict::NotThisFormat);
}
