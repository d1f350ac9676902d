#include "volphotorev/photoparser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testutil.h"
#include "volphotorev/photoitems.h"

namespace {

// A 512-byte sector beginning with `head`, the rest filled with `fill`.
std::vector<uint8_t> Sector(const std::string& head, uint8_t fill = 0x00) {
    std::vector<uint8_t> s(512, fill);
    std::copy(head.begin(), head.end(), s.begin());
    return s;
}

}  // namespace

TEST(PhotoParser, RecognisesTheFourSignaturesExactly) {
    EXPECT_EQ(MatchPhotoHeader(Sector("\xFF\xD8\xFF\xE0")), Jpg);
    EXPECT_EQ(MatchPhotoHeader(Sector("\xFF\xD8\xFE")), -1);
    EXPECT_EQ(MatchPhotoHeader(Sector(std::string("\x89PNG\r\n\x1A\n", 8))), Png);
    EXPECT_EQ(MatchPhotoHeader(Sector(std::string("\x89PNG\r\n\x1A\r", 8))), -1);
    EXPECT_EQ(MatchPhotoHeader(Sector("GIF87a")), Gif);
    EXPECT_EQ(MatchPhotoHeader(Sector("GIF89a")), Gif);
    EXPECT_EQ(MatchPhotoHeader(Sector("GIF9")), -1);
    EXPECT_EQ(MatchPhotoHeader(Sector("gif89a")), -1);
    EXPECT_EQ(MatchPhotoHeader(Sector("BM", 0xAB)), Bmp);  // whatever follows
    EXPECT_EQ(MatchPhotoHeader(Sector("bm")), -1);
    EXPECT_EQ(MatchPhotoHeader(Sector("MZ")), -1);
    EXPECT_EQ(MatchPhotoHeader(Sector("")), -1);
}

TEST(PhotoParser, ShortSpansNeverMatchOrReadPastTheirEnd) {
    std::vector<uint8_t> jpg{0xFF, 0xD8};
    EXPECT_EQ(MatchPhotoHeader(jpg), -1);
    std::vector<uint8_t> png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A};
    EXPECT_EQ(MatchPhotoHeader(png), -1);
    std::vector<uint8_t> bmp{'B', 'M'};
    EXPECT_EQ(MatchPhotoHeader(bmp), Bmp);
    std::vector<uint8_t> pdf{'%', 'P', 'D', 'F', '-', '1'};
    EXPECT_FALSE(IsOtherFileHeader(pdf));
    EXPECT_FALSE(IsOtherFileHeader(std::span<const uint8_t>()));
}

TEST(PhotoParser, RealPhotosMatchTheirCategory) {
    std::string dir = testutil::PhotosDir();
    if (dir.empty()) GTEST_SKIP() << "no photo fixtures";
    struct { const char* file; int category; } cases[] = {
        {"IMG_0001.JPG", Jpg}, {"IMG_0105.JPG", Jpg}, {"SCAN0001.PNG", Png},
        {"ANIM0001.GIF", Gif}, {"PAINT001.BMP", Bmp},
    };
    for (auto& c : cases) {
        auto bytes = testutil::ReadFileBytes(dir + "/" + c.file);
        ASSERT_GE(bytes.size(), 512u) << c.file;
        std::span<const uint8_t> first(bytes.data(), 512);
        EXPECT_EQ(MatchPhotoHeader(first), c.category) << c.file;
        EXPECT_FALSE(IsOtherFileHeader(first)) << c.file;
    }
}

TEST(PhotoParser, OtherFileHeaders) {
    const std::vector<std::string> others{
        "MZ\x90", std::string("PK\x03\x04", 4), "PK00PK", "Rar!\x1A\x07", "{\\rtf1\\ansi", "<?xml version",
        "<html>", "<HTML>", "<HtMl lang", "<!DOCTYPE html>", "<!doctype html>", "<!DocTyp", "<!-- x -->",
        std::string("Delivery-date:\0", 15), "\xCF\xAD\x12\xFE", "!BDN",
        std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8), "_Types].xml", "Standard Jet DB", "%PDF-1.4",
        std::string("ITSF\x03\x00\x00\x00", 8),
    };
    for (auto& o : others) EXPECT_TRUE(IsOtherFileHeader(Sector(o, 0x41))) << o;

    const std::vector<std::string> notOthers{
        "<htm>", "<!doc>", "<!-", "%PDF-2.0", "Delivery-date: Mon", "Delivery-date:", "PK\x05\x06",
        std::string("ITSF\x02\x00\x00\x00", 8), "Standard ", "mz", "BM", "\xFF\xD8\xFF",
    };
    // "Delivery-date:" counts only with the zero byte right after the colon.
    for (auto& o : notOthers) EXPECT_FALSE(IsOtherFileHeader(Sector(o, 0x41))) << o;
}

TEST(PhotoParser, ParsersAreAskedInRegistrationOrder) {
    auto parsers = MakePhotoParsers();
    ASSERT_EQ(parsers.size(), 4u);
    EXPECT_EQ(parsers[0]->ParseHeader(Sector("\xFF\xD8\xFF")), Jpg);
    EXPECT_EQ(parsers[1]->ParseHeader(Sector(std::string("\x89PNG\r\n\x1A\n", 8))), Png);
    EXPECT_EQ(parsers[2]->ParseHeader(Sector("GIF8")), Gif);
    EXPECT_EQ(parsers[3]->ParseHeader(Sector("BM")), Bmp);
    // A list without the JPEG parser no longer finds JPEGs.
    parsers.erase(parsers.begin());
    EXPECT_EQ(MatchPhotoHeader(parsers, Sector("\xFF\xD8\xFF")), -1);
    EXPECT_EQ(MatchPhotoHeader(parsers, Sector("BM")), Bmp);
}
