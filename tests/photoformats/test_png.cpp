#include <gtest/gtest.h>
#include <zlib.h>

#include "photoformats/readers.h"
#include "sample_sources.h"

using namespace readertest;

namespace {

// Offset of the first chunk of `type`.
size_t ChunkAt(const std::vector<uint8_t>& b, const char* type) { return Find(b, type) - 4; }

uint32_t Be32(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint32_t>(b[at]) << 24 | static_cast<uint32_t>(b[at + 1]) << 16 |
           static_cast<uint32_t>(b[at + 2]) << 8 | b[at + 3];
}

// Sets a chunk's CRC to what its type and data say.
void FixCrc(std::vector<uint8_t>& b, size_t chunk) {
    const uint32_t len = Be32(b, chunk);
    PutBe32(b, chunk + 8 + len, static_cast<uint32_t>(crc32(0, b.data() + chunk + 4, len + 4)));
}

}  // namespace

TEST(PngStructure, RealPhotosEndExactlyAfterIend) {
    REQUIRE_SAMPLES();
    for (const char* name : {"png8.png", "png16.png", "interlaced.png", "palette.png"}) {
        SCOPED_TRACE(name);
        auto bytes = Sample(name);
        ASSERT_GT(bytes.size(), 1000u);
        const Outcome whole{StructureVerdict::Whole, bytes.size(), ""};
        EXPECT_EQ(Read(ReadPngStructure, bytes), whole);
        for (size_t piece : {1u, 5u}) {
            ChoppySource src(bytes, piece, piece == 1);
            StructureResult r = ReadPngStructure(src);
            EXPECT_EQ((Outcome{r.verdict, r.length, std::string(r.why)}), whole) << piece;
        }
        bytes.insert(bytes.end(), 5000, 0x5A);  // whatever follows in free space
        EXPECT_EQ(Read(ReadPngStructure, bytes), whole);
    }
    // The samples are what their names say: bit depth 8 and 16, interlaced.
    EXPECT_EQ(Sample("png8.png")[24], 8);
    EXPECT_EQ(Sample("png16.png")[24], 16);
    EXPECT_EQ(Sample("interlaced.png")[28], 1);
    EXPECT_EQ(Sample("palette.png")[25], 3);
}

TEST(PngStructure, CorruptPhotosGetAVerdictAndAReason) {
    REQUIRE_SAMPLES();
    const auto png = Sample("png8.png");
    const size_t idat = ChunkAt(png, "IDAT");
    const size_t iend = ChunkAt(png, "IEND");
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        Outcome want;
    };
    std::vector<Case> cases;
    auto add = [&](const char* what, auto change, Outcome want) {
        std::vector<uint8_t> b = png;
        change(b);
        cases.push_back({what, std::move(b), std::move(want)});
    };
    add("a data byte changed: CRC mismatch", [&](auto& b) { b[idat + 20] ^= 1; },
        {StructureVerdict::Broken, idat, "PNG chunk CRC mismatch"});
    add("chunk length 2^31", [&](auto& b) { PutBe32(b, idat, 0x80000000u); },
        {StructureVerdict::Broken, idat, "PNG chunk length above 2^31 - 1"});
    add("chunk length past the end", [&](auto& b) { PutBe32(b, idat, 0x7FFFFFFFu); },
        {StructureVerdict::Broken, idat, "PNG chunk passes the end of the bytes"});
    add("cut before IEND", [&](auto& b) { b.resize(iend); }, {StructureVerdict::Broken, iend, "PNG cut short"});
    add("cut inside a chunk", [&](auto& b) { b.resize(idat + 100); },
        {StructureVerdict::Broken, idat, "PNG chunk passes the end of the bytes"});
    add("chunk type with a digit", [&](auto& b) { b[idat + 5] = '1'; },
        {StructureVerdict::Broken, idat, "PNG chunk type not four letters"});
    add("IEND with data", [&](auto& b) {
            b.insert(b.begin() + static_cast<ptrdiff_t>(iend + 8), 0);
            PutBe32(b, iend, 1);
            FixCrc(b, iend);
        },
        {StructureVerdict::Broken, iend, "PNG IEND chunk not empty"});
    add("bit depth 3 (CRC made right)", [&](auto& b) { b[24] = 3; FixCrc(b, 8); },
        {StructureVerdict::Broken, 8, "PNG header fields not valid"});
    add("header CRC mismatch", [&](auto& b) { b[17] ^= 1; },
        {StructureVerdict::Broken, 8, "PNG chunk CRC mismatch"});
    add("first chunk not IHDR", [&](auto& b) { b[12] = 'X'; },
        {StructureVerdict::NotThisFormat, 0, "no PNG header chunk"});
    add("signature changed", [&](auto& b) { b[6] = 0; }, {StructureVerdict::NotThisFormat, 0, "no PNG signature"});
    add("cut inside the signature", [&](auto& b) { b.resize(6); },
        {StructureVerdict::NotThisFormat, 0, "PNG header cut short"});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Read(ReadPngStructure, c.bytes), c.want);
    }
}

TEST(PngStructure, UnreadableBytesBreakThePhoto) {
    REQUIRE_SAMPLES();
    const auto png = Sample("png8.png");
    ChoppySource src(png, 1000, true, 5000);
    StructureResult r = ReadPngStructure(src);
    EXPECT_EQ(r.verdict, StructureVerdict::Broken);
    EXPECT_EQ(r.why, "PNG bytes unreadable");
    EXPECT_LE(r.length, 5000u);
}
