// The table of formats: names, categories, extensions, and signatures that
// random bytes and ordinary files do not start.
#include <gtest/gtest.h>

#include <set>

#include "formats_testsupport.h"

using namespace fmtest;

namespace {

TEST(PhotoFormatTable, EveryCategoryHasItsFormatsAndNamesAreUnique) {
    std::set<std::string_view> types, extensions;
    std::set<int> categories;
    for (const PhotoFormat& f : PhotoFormats()) {
        EXPECT_TRUE(types.insert(f.typeName).second) << f.typeName;
        categories.insert(f.category);
        for (std::string_view e : f.walkExtensions) EXPECT_TRUE(extensions.insert(e).second) << e;
        EXPECT_EQ(PhotoFormatOfExtension(f.extension), &f) << f.name;
        EXPECT_FALSE(f.leadBytes.empty());
    }
    // Every category but Other has a format.
    for (int c = 0; c < Other; ++c) EXPECT_TRUE(categories.count(c)) << c;
}

TEST(PhotoFormatTable, NamesOfPhotos) {
    struct Case {
        const char* name;
        int category;  // -1: no photo
    };
    const Case cases[] = {
        {"IMG_0001.JPG", Jpg}, {"DSC_0042.NEF", Raw},  {"_MG_0001.CR2", Raw},   {"IMG_0001.CR3", Raw},
        {"P1000001.RW2", Raw}, {"DSCF0001.RAF", Raw},  {"IMG_4711.HEIC", Heic}, {"x.avif", Heic},
        {"scan.tiff", Tiff},   {"scan.TIF", Tiff},     {"web.webp", WebP},      {"a.dng", Raw},
        {"notes.txt", -1},     {"archive.tar.gz", -1}, {"noext", -1},           {"trailing.", -1},
    };
    for (const Case& c : cases) {
        const PhotoFormat* f = PhotoFormatOfName(c.name);
        EXPECT_EQ(f ? f->category : -1, c.category) << c.name;
    }
}

TEST(PhotoFormatTable, ReadersNameOnlyFormatsOfTheTable) {
    StructureResult r;
    r.extension = "nef";
    const PhotoFormat* tiff = PhotoFormatOfExtension("tif");
    ASSERT_NE(tiff, nullptr);
    EXPECT_EQ(PhotoFormatOfResult(*tiff, r).category, Raw);
    r.extension = "";
    EXPECT_EQ(&PhotoFormatOfResult(*tiff, r), tiff);
    r.extension = "xyz";
    EXPECT_EQ(&PhotoFormatOfResult(*tiff, r), tiff);
}

// Random sectors, and sectors that begin like the formats but are not them
// (a TIFF header followed by noise, ftyp of a video, RIFF of a sound), start
// nothing among the formats whose signatures check more than a magic number.
TEST(PhotoSignatures, RandomAndLookAlikeSectorsStartNothing) {
    std::mt19937 rng(5);
    int matched = 0;
    for (int i = 0; i < 20000; ++i) {
        std::vector<uint8_t> s = Junk(512, rng());
        const PhotoFormat* f = MatchPhotoFormat(s);
        if (f && f->category >= Raw) ++matched;
    }
    EXPECT_EQ(matched, 0);

    int tiffLike = 0;
    for (int i = 0; i < 5000; ++i) {
        std::vector<uint8_t> s = Junk(512, 1000 + i);
        const uint8_t hdr[] = {'I', 'I', 42, 0, 8, 0, 0, 0};
        std::copy(std::begin(hdr), std::end(hdr), s.begin());
        const PhotoFormat* f = MatchPhotoFormat(s);
        if (!f) continue;
        CMemoryByteSource src(s);
        if (f->readStructure(src).verdict != StructureVerdict::NotThisFormat) ++tiffLike;
    }
    EXPECT_EQ(tiffLike, 0);
}

}  // namespace
