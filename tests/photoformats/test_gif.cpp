#include <gtest/gtest.h>

#include "photoformats/readers.h"
#include "sample_sources.h"

using namespace readertest;

TEST(GifStructure, RealPhotosEndExactlyAtTheirTrailer) {
    REQUIRE_SAMPLES();
    for (const char* name : {"still.gif", "animated.gif"}) {
        SCOPED_TRACE(name);
        auto bytes = Sample(name);
        ASSERT_GT(bytes.size(), 1000u);
        const Outcome whole{StructureVerdict::Whole, bytes.size(), ""};
        EXPECT_EQ(Read(ReadGifStructure, bytes), whole);
        for (size_t piece : {1u, 3u, 255u, 256u}) {
            ChoppySource src(bytes, piece);
            StructureResult r = ReadGifStructure(src);
            EXPECT_EQ((Outcome{r.verdict, r.length, std::string(r.why)}), whole) << piece;
        }
        bytes.insert(bytes.end(), 700, 0x3B);  // trailers after the end change nothing
        EXPECT_EQ(Read(ReadGifStructure, bytes), whole);
    }
    const auto still = Sample("still.gif");
    EXPECT_EQ(std::string(still.begin(), still.begin() + 6), "GIF87a");
    const auto anim = Sample("animated.gif");
    EXPECT_NE(Find(anim, "NETSCAPE2.0"), std::string::npos);
    EXPECT_NE(Find(anim, "\x21\xF9"), std::string::npos);
}

TEST(GifStructure, CorruptPhotosGetAVerdictAndAReason) {
    REQUIRE_SAMPLES();
    const auto gif = Sample("animated.gif");
    const size_t n = gif.size();
    auto with = [&](auto change) {
        std::vector<uint8_t> b = gif;
        change(b);
        return b;
    };
    // The first image descriptor: after the header, the global colour table
    // and the extensions before it.
    const size_t table = (gif[10] & 0x80) ? 3u << ((gif[10] & 7) + 1) : 0;
    size_t image = 13 + table;
    while (gif[image] == 0x21) {
        image += 2;
        while (gif[image] != 0) image += 1 + gif[image];
        ++image;
    }
    ASSERT_EQ(gif[image], 0x2C);
    const size_t local = (gif[image + 9] & 0x80) ? 3u << ((gif[image + 9] & 7) + 1) : 0;
    const size_t codeSize = image + 10 + local;
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        Outcome want;
    };
    const std::vector<Case> cases = {
        {"no trailer", with([](auto& b) { b.pop_back(); }), {StructureVerdict::Broken, n - 1, "GIF cut short"}},
        {"zeros where the trailer was", with([&](auto& b) { b.insert(b.end(), 600, 0); b[n - 1] = 0; }),
         {StructureVerdict::Broken, n - 1, "GIF block neither an extension, an image nor the trailer"}},
        {"cut inside image data", with([&](auto& b) { b.resize(codeSize + 300); }),
         {StructureVerdict::Broken, image, "GIF cut short"}},
        {"LZW code size 0", with([&](auto& b) { b[codeSize] = 0; }),
         {StructureVerdict::Broken, image, "GIF LZW code size not valid"}},
        {"image of no width", with([&](auto& b) { b[image + 5] = b[image + 6] = 0; }),
         {StructureVerdict::Broken, image, "GIF image of no size"}},
        {"trailer before any image", with([&](auto& b) { b[13 + table] = 0x3B; }),
         {StructureVerdict::Broken, 13 + table, "GIF ends before its first image"}},
        {"version 89b", with([](auto& b) { b[5] = 'b'; }), {StructureVerdict::NotThisFormat, 0, "no GIF signature"}},
        {"cut inside the screen descriptor", with([](auto& b) { b.resize(10); }),
         {StructureVerdict::NotThisFormat, 0, "GIF header cut short"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Read(ReadGifStructure, c.bytes), c.want);
    }
}

// Sub-block chains as long as the bytes: one pass, then a verdict.
TEST(GifStructure, EndlessSubBlocksEndWithTheBytes) {
    std::string head("GIF89a\x10\x00\x10\x00\x00\x00\x00\x21\xFE", 15);
    std::vector<uint8_t> b(head.begin(), head.end());
    b.resize(1 << 20, 0xFF);
    EXPECT_EQ(Read(ReadGifStructure, b), (Outcome{StructureVerdict::Broken, 13, "GIF cut short"}));
}
