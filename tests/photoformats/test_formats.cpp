// The table of formats: names, categories, extensions, and signatures that
// random bytes and ordinary files do not start.
#include <gtest/gtest.h>

#include <set>

#include "formats_testsupport.h"
#include "raw_samples.h"
#include "sample_sources.h"

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

// The raw scan passes over sectors that begin with eight equal bytes (zeroed
// or erased space) without asking: no signature may begin that way, whatever
// follows. Each real header, with its first eight bytes overwritten by any
// one byte value, starts nothing.
TEST(PhotoSignatures, EightEqualBytesStartNothing) {
    const std::vector<uint8_t> jpeg = SmallJpeg();
    // ftyp boxes of a HEIC and a CR3, as phones and cameras write them.
    const uint8_t heic[] = {0, 0, 0, 24, 'f', 't', 'y', 'p', 'h', 'e', 'i', 'c', 0, 0, 0, 0,
                            'm', 'i', 'f', '1', 'h', 'e', 'i', 'c'};
    const uint8_t cr3[] = {0, 0, 0, 24, 'f', 't', 'y', 'p', 'c', 'r', 'x', ' ', 0, 0, 0, 1,
                           'c', 'r', 'x', ' ', 'i', 's', 'o', 'm'};
    std::vector<std::vector<uint8_t>> heads = {jpeg, rawsample::Cr2(jpeg), rawsample::Orf(jpeg), rawsample::Rw2(jpeg),
                                               {std::begin(heic), std::end(heic)}, {std::begin(cr3), std::end(cr3)}};
    for (const char* name : {"png8.png", "still.gif", "bmp24.bmp"})
        if (!readertest::Sample(name).empty()) heads.push_back(readertest::Sample(name));
    for (std::vector<uint8_t>& head : heads) {
        head.resize(512);
        const PhotoFormat* f = MatchPhotoFormat(head);
        ASSERT_NE(f, nullptr);
        for (int b = 0; b < 256; ++b) {
            std::vector<uint8_t> s = head;
            std::fill_n(s.begin(), 8, static_cast<uint8_t>(b));
            EXPECT_EQ(MatchPhotoFormat(s), nullptr) << f->name << " with eight bytes " << b;
        }
    }
}

}  // namespace
