#include <gtest/gtest.h>

#include <random>

#include "photoformats/readers.h"
#include "sample_sources.h"

using namespace readertest;
using namespace std::string_view_literals;

namespace {

// Bytes that follow a photo in free space: noise, or zeros.
std::vector<uint8_t> WithTail(std::vector<uint8_t> bytes, bool noise) {
    std::mt19937 rng(7);
    for (int i = 0; i < 3000; ++i) bytes.push_back(noise ? static_cast<uint8_t>(rng()) : 0);
    return bytes;
}

// Start of the entropy-coded data of the first scan.
size_t FirstScanData(const std::vector<uint8_t>& b) {
    size_t sos = Find(b, "\xFF\xDA");
    return sos + 2 + (static_cast<size_t>(b[sos + 2]) << 8 | b[sos + 3]);
}

}  // namespace

// Each photo ends at its own end-of-image marker, not at a thumbnail's and
// not where the free space after it ends.
TEST(JpegStructure, RealPhotosEndExactlyAtTheirEndOfImage) {
    REQUIRE_SAMPLES();
    for (const char* name : {"baseline.jpg", "progressive.jpg", "restart.jpg", "exif.jpg", "exif-progressive.jpg",
                             "gray.jpg", "thumb.jpg", "mpf.jpg", "big.jpg"}) {
        SCOPED_TRACE(name);
        const auto& bytes = Sample(name);
        ASSERT_GT(bytes.size(), 1000u);
        const Outcome whole{StructureVerdict::Whole, bytes.size(), ""};
        EXPECT_EQ(Read(ReadJpegStructure, bytes), whole);
        if (bytes.size() > (1u << 20)) continue;
        EXPECT_EQ(Read(ReadJpegStructure, WithTail(bytes, true)), whole);
        EXPECT_EQ(Read(ReadJpegStructure, WithTail(bytes, false)), whole);
        // Windows of a few bytes, with and without views: every edge is crossed.
        for (size_t piece : {1u, 7u}) {
            for (bool views : {true, false}) {
                ChoppySource src(bytes, piece, views);
                StructureResult r = ReadJpegStructure(src);
                EXPECT_EQ((Outcome{r.verdict, r.length, std::string(r.why)}), whole) << piece << " " << views;
            }
        }
    }
}

// The samples hold what their names say, so the test above means something.
TEST(JpegStructure, SamplesHaveTheStructuresTheyStandFor) {
    REQUIRE_SAMPLES();
    const auto exif = Sample("exif.jpg");
    const size_t thumbEnd = Find(exif, "\xFF\xD9");
    EXPECT_LT(thumbEnd + 2, exif.size()) << "the thumbnail's end-of-image comes first";
    EXPECT_NE(Find(exif, "Exif"), std::string::npos);
    EXPECT_NE(Find(Sample("restart.jpg"), "\xFF\xD0"), std::string::npos);
    const auto prog = Sample("progressive.jpg");
    EXPECT_NE(Find(prog, "\xFF\xC2"), std::string::npos);
    EXPECT_NE(Find(prog, "\xFF\xDA", Find(prog, "\xFF\xDA") + 2), std::string::npos) << "more than one scan";
    EXPECT_GT(Sample("big.jpg").size(), 10u << 20);
    // A multi-picture file: the first image's end of image, then the preview.
    const auto& mpf = Sample("mpf.jpg");
    const size_t first = mpf.size() - Sample("preview.jpg").size();
    EXPECT_EQ(Find(mpf, "\xFF\xD9") + 2, first);
    EXPECT_EQ(Find(mpf, "\xFF\xD8\xFF", 2), first);
    EXPECT_NE(Find(mpf, "MPF"), std::string::npos);
}

// A multi-picture file whose preview after the first image was overwritten:
// the first image is whole, and the reason says what is missing.
TEST(JpegStructure, MultiPictureFileWithoutItsPreview) {
    REQUIRE_SAMPLES();
    auto mpf = Sample("mpf.jpg");
    const size_t first = mpf.size() - Sample("preview.jpg").size();
    const std::string why = "JPEG images its multi-picture index lists not found after it";
    auto cut = mpf;
    cut.resize(first + 600);
    EXPECT_EQ(Read(ReadJpegStructure, cut), (Outcome{StructureVerdict::Whole, first, why}));
    auto zeroed = mpf;
    std::fill(zeroed.begin() + static_cast<ptrdiff_t>(first), zeroed.end(), 0);
    EXPECT_EQ(Read(ReadJpegStructure, zeroed), (Outcome{StructureVerdict::Whole, first, why}));
}

TEST(JpegStructure, CorruptPhotosGetAVerdictAndAReason) {
    REQUIRE_SAMPLES();
    const auto base = Sample("baseline.jpg");
    const auto exif = Sample("exif.jpg");
    const size_t data = FirstScanData(base);
    const size_t app1 = Find(exif, "\xFF\xE1");
    // A place inside the compressed data that no stuffed FF touches.
    size_t mid = base.size() / 2;
    while (base[mid - 1] == 0xFF || base[mid] == 0xFF || base[mid + 1] == 0xFF) ++mid;

    auto cut = [](std::vector<uint8_t> b, size_t n) { b.resize(n); return b; };
    auto poke = [](std::vector<uint8_t> b, size_t at, std::string_view s) {
        std::copy(s.begin(), s.end(), b.begin() + static_cast<ptrdiff_t>(at));
        return b;
    };
    const std::string junkTail(600, '\x11');
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        Outcome want;
    };
    const std::vector<Case> cases = {
        {"cut in the middle of a scan", cut(base, mid), {StructureVerdict::Broken, mid, "JPEG cut short"}},
        {"start of image inside the compressed data", poke(base, mid, "\xFF\xD8"),
         {StructureVerdict::Broken, mid, "JPEG marker that cannot follow image data"}},
        {"reserved marker inside the compressed data", poke(base, mid, "\xFF\x31"),
         {StructureVerdict::Broken, mid, "JPEG marker that cannot follow image data"}},
        {"segment length past the end of the bytes", cut(exif, app1 + 100),
         {StructureVerdict::Broken, app1, "JPEG segment passes the end of the bytes"}},
        {"segment length below 2", poke(base, 4, "\x00\x01"sv),
         {StructureVerdict::NotThisFormat, 0, "JPEG segment length below 2"}},
        {"no segment after the start of image", poke(base, 3, "\x00"sv),
         {StructureVerdict::NotThisFormat, 0, "no JPEG segment after the start of image"}},
        {"end of image before any scan", poke(base, 20, "\xFF\xD9"),
         {StructureVerdict::Broken, 20, "JPEG ends before its image data"}},
        {"scan header with no components", poke(base, data - 10, "\x00"sv),
         {StructureVerdict::Broken, data - 14, "JPEG scan header not valid"}},
        {"tail overwritten by bytes without markers", cut(poke(base, mid, junkTail), mid + junkTail.size()),
         {StructureVerdict::Broken, mid + junkTail.size(), "JPEG cut short"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Read(ReadJpegStructure, c.bytes), c.want);
    }
    // The scan header checked above is really where the test pokes it.
    EXPECT_EQ(base[data - 14], 0xFF);
    EXPECT_EQ(base[data - 13], 0xDA);
}

TEST(JpegStructure, NotAJpegAtAll) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "JPEG header cut short"},
        {"\xFF\xD8", "JPEG header cut short"},
        {"\xFF\xD8\xFE", "no JPEG start of image"},
        {"\xFF\xD8\xFF\xD8\x00\x10", "no JPEG segment after the start of image"},
        {"\xFF\xD8\xFF\xE0\x00", "JPEG header cut short"},
    };
    for (const auto& [bytes, why] : cases) {
        std::vector<uint8_t> b(bytes.begin(), bytes.end());
        EXPECT_EQ(Read(ReadJpegStructure, b), (Outcome{StructureVerdict::NotThisFormat, 0, why})) << why;
    }
}

// Hostile bytes end with a verdict after one pass over them at most.
TEST(JpegStructure, HostileBytesEndInOnePass) {
    std::vector<uint8_t> fill(1 << 20, 0xFF);  // fill bytes forever
    fill[1] = 0xD8;
    EXPECT_EQ(Read(ReadJpegStructure, fill), (Outcome{StructureVerdict::NotThisFormat, 0, "JPEG header cut short"}));

    // A scan whose compressed data is all stuffed bytes up to the end.
    std::string head("\xFF\xD8\xFF\xC0\x00\x0B\x08\x00\x10\x00\x10\x01\x01\x11\x00"
                     "\xFF\xDA\x00\x08\x01\x01\x00\x00\x3F\x00", 25);
    std::vector<uint8_t> b(head.begin(), head.end());
    for (int i = 0; i < 100000; ++i) {
        b.push_back(0xFF);
        b.push_back(i % 2 ? 0x00 : 0xD3);
    }
    EXPECT_EQ(Read(ReadJpegStructure, b), (Outcome{StructureVerdict::Broken, b.size(), "JPEG cut short"}));
    b.push_back(0xFF);
    b.push_back(0xD9);
    EXPECT_EQ(Read(ReadJpegStructure, b), (Outcome{StructureVerdict::Whole, b.size(), ""}));
}

TEST(JpegStructure, UnreadableBytesBreakThePhoto) {
    REQUIRE_SAMPLES();
    const auto base = Sample("baseline.jpg");
    ChoppySource src(base, 4096, false, 50000);
    StructureResult r = ReadJpegStructure(src);
    EXPECT_EQ(r.verdict, StructureVerdict::Broken);
    EXPECT_EQ(r.why, "JPEG bytes unreadable");
    EXPECT_LE(r.length, 50000u);
}
