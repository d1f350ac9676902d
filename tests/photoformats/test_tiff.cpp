// The TIFF reader on TIFFs written by ImageMagick (checked against libtiff's
// tiffinfo and exiftool) and on synthetic camera RAW files built to each
// maker's documented layout (raw_samples.h; exiftool reads them as the
// maker's format), then on broken and hostile directories.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <regex>
#include <sstream>

#include "formats_testsupport.h"
#include "photoformats/readers.h"
#include "raw_samples.h"

using namespace fmtest;

namespace {

// The furthest byte of any strip or tile by libtiff's own reading.
uint64_t TiffinfoEnd(const std::string& path) {
    std::string out = testutil::Capture("tiffinfo -s '" + path + "' 2>/dev/null");
    std::istringstream in(out);
    std::string line;
    uint64_t end = 0;
    std::regex entry(R"(^\s+\d+: \[\s*(\d+),\s*(\d+)\])");
    std::smatch m;
    while (std::getline(in, line))
        if (std::regex_search(line, m, entry)) end = std::max<uint64_t>(end, std::stoull(m[1]) + std::stoull(m[2]));
    return end;
}

TEST(TiffReader, ImageMagickTiffsEndWhereTheFileEnds) {
    std::string dir = FormatsDir();
    if (dir.empty()) GTEST_SKIP() << "no photos or tools";
    const char* const names[] = {"strips-le.tif", "strips-be.tif", "tiles-le.tif", "tiles-be.tif", "pages.tif"};
    // exiftool takes every one for a TIFF (one run for all: it starts slowly).
    std::string types = testutil::Capture("cd " + dir + " && exiftool -q -s3 -FileType " + names[0] + " " + names[1] +
                                          " " + names[2] + " " + names[3] + " " + names[4]);
    EXPECT_EQ(types, "TIFF\nTIFF\nTIFF\nTIFF\nTIFF\n");
    for (const char* name : names) {
        SCOPED_TRACE(name);
        std::string path = dir + "/" + name;
        std::vector<uint8_t> bytes = testutil::ReadFileBytes(path);
        ASSERT_FALSE(bytes.empty());
        Read r = ReadCandidate(bytes);
        ASSERT_NE(r.matched, nullptr);
        EXPECT_EQ(r.matched->category, Tiff);
        EXPECT_EQ(VerdictName(r.result.verdict), std::string("Whole")) << r.result.why;
        EXPECT_EQ(r.result.length, bytes.size());
        EXPECT_EQ(r.stored->category, Tiff);
        EXPECT_EQ(r.result.extension, "tif");
        // Every strip and tile libtiff knows lies inside what the reader found.
        uint64_t libtiffEnd = TiffinfoEnd(path);
        EXPECT_GT(libtiffEnd, bytes.size() / 2);
        EXPECT_LE(libtiffEnd, r.result.length);

        // Cut short: the data the directories point to is missing.
        std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<long>(bytes.size() - 1000));
        CMemoryByteSource src(cut);
        StructureResult c = ReadTiffStructure(src);
        EXPECT_TRUE(c.verdict == StructureVerdict::Broken || c.verdict == StructureVerdict::NotThisFormat)
            << VerdictName(c.verdict);
        EXPECT_LE(c.length, cut.size());
    }
}

struct RawCase {
    const char* ext;
    const char* exiftoolType;  // exiftool's FileType for the file
    std::vector<uint8_t> (*build)(const std::vector<uint8_t>& jpeg);
};

std::vector<uint8_t> Nef(const std::vector<uint8_t>& j) { return rawsample::TiffEp({"nef", "NIKON CORPORATION", "NIKON D750"}, j); }
std::vector<uint8_t> Nrw(const std::vector<uint8_t>& j) { return rawsample::TiffEp({"nrw", "NIKON", "COOLPIX P7800"}, j); }
std::vector<uint8_t> Arw(const std::vector<uint8_t>& j) { return rawsample::TiffEp({"arw", "SONY", "ILCE-7M3"}, j); }
std::vector<uint8_t> Sr2(const std::vector<uint8_t>& j) { return rawsample::TiffEp({"sr2", "SONY", "DSC-R1"}, j); }
std::vector<uint8_t> Dng(const std::vector<uint8_t>& j) { return rawsample::TiffEp({"dng", "LEICA CAMERA AG", "LEICA Q2", false}, j); }
std::vector<uint8_t> DngBig(const std::vector<uint8_t>& j) { return rawsample::TiffEp({"dng", "Apple", "iPhone 13 Pro", true}, j); }
std::vector<uint8_t> Pef(const std::vector<uint8_t>& j) { return rawsample::TiffEp({"pef", "PENTAX", "PENTAX K-1", true}, j); }
std::vector<uint8_t> Srw(const std::vector<uint8_t>& j) { return rawsample::TiffEp({"srw", "SAMSUNG", "NX1"}, j); }
std::vector<uint8_t> Erf(const std::vector<uint8_t>& j) { return rawsample::TiffEp({"erf", "SEIKO EPSON CORP.", "R-D1"}, j); }
std::vector<uint8_t> Hasselblad(const std::vector<uint8_t>& j) { return rawsample::TiffEp({"3fr", "Hasselblad", "H6D-100c"}, j); }
std::vector<uint8_t> Cr2(const std::vector<uint8_t>& j) { return rawsample::Cr2(j); }
std::vector<uint8_t> Orf(const std::vector<uint8_t>& j) { return rawsample::Orf(j); }
std::vector<uint8_t> Rw2(const std::vector<uint8_t>& j) { return rawsample::Rw2(j); }
std::vector<uint8_t> Iiq(const std::vector<uint8_t>&) { return rawsample::Iiq(); }

TEST(TiffReader, CameraRawFilesAreNamedAndEndAfterTheirSensorData) {
    const std::vector<uint8_t> jpeg = SmallJpeg();
    ASSERT_FALSE(jpeg.empty());
    const RawCase cases[] = {
        {"nef", "NEF", Nef}, {"nrw", "NRW", Nrw}, {"arw", "ARW", Arw}, {"sr2", "SR2", Sr2},
        {"dng", "DNG", Dng}, {"dng", "DNG", DngBig}, {"pef", "PEF", Pef}, {"srw", "SRW", Srw},
        {"erf", "ERF", Erf}, {"3fr", "3FR", Hasselblad}, {"cr2", "CR2", Cr2}, {"orf", "ORF", Orf},
        {"rw2", "RW2", Rw2}, {"iiq", "IIQ", Iiq},
    };
    testutil::TempDir tmp;
    std::map<std::string, std::string> expected;  // file name -> exiftool's FileType
    for (const RawCase& c : cases) {
        SCOPED_TRACE(c.ext);
        std::vector<uint8_t> file = c.build(jpeg);
        Read r = ReadCandidate(file);
        ASSERT_NE(r.matched, nullptr);
        EXPECT_EQ(VerdictName(r.result.verdict), std::string("Whole")) << r.result.why;
        EXPECT_EQ(r.result.length, file.size());
        EXPECT_EQ(r.result.extension, c.ext);
        EXPECT_EQ(r.stored->category, Raw);
        EXPECT_EQ(PhotoFormatOfName(std::string("x.") + c.ext), r.stored);
        // The largest preview is the camera's JPEG (IIQ carries none).
        CMemoryByteSource src(file);
        std::vector<ByteRange> previews = EmbeddedJpegs(src);
        if (std::string(c.ext) == "iiq") {
            EXPECT_TRUE(previews.empty());
        } else {
            ASSERT_FALSE(previews.empty());
            EXPECT_TRUE(std::equal(jpeg.begin(), jpeg.end(), file.begin() + static_cast<long>(previews[0].offset)));
            EXPECT_EQ(previews[0].length, jpeg.size());
        }
        std::string name = std::to_string(&c - cases) + "." + c.ext;
        ASSERT_TRUE(testutil::WriteFileBytes(tmp / name, file));
        expected[name] = c.exiftoolType;
    }
    if (!testutil::HaveTool("exiftool")) return;
    // exiftool takes each file for the maker's format and reads its
    // structure without complaint (one run for all: it starts slowly).
    std::istringstream out(testutil::Capture("cd " + tmp.path() + " && exiftool -q -T -FileName -FileType -Make "
                                             "-Error -Warning *"));
    std::string line;
    size_t seen = 0;
    while (std::getline(out, line)) {
        std::vector<std::string> f;
        std::istringstream cols(line);
        for (std::string col; std::getline(cols, col, '\t');) f.push_back(col);
        ASSERT_EQ(f.size(), 5u) << line;
        SCOPED_TRACE(f[0]);
        ASSERT_TRUE(expected.count(f[0]));
        EXPECT_EQ(f[1], expected[f[0]]);
        EXPECT_NE(f[2], "-");
        EXPECT_EQ(f[3], "-");
        EXPECT_EQ(f[4], "-");
        ++seen;
    }
    EXPECT_EQ(seen, expected.size());
}

TEST(TiffReader, TheMakerNotePreviewCounts) {
    // An Olympus preview placed after the sensor data is reached only
    // through the maker note's CameraSettings, whose offsets count from the
    // maker note's start.
    std::vector<uint8_t> jpeg = SmallJpeg(64, 48);
    std::vector<uint8_t> orf = rawsample::Orf(jpeg);
    const std::string magic("OLYMPUS\0II", 10);
    auto note = std::search(orf.begin(), orf.end(), magic.begin(), magic.end());
    ASSERT_NE(note, orf.end());
    const uint8_t entry[] = {0x01, 0x01, 0x04, 0x00, 0x01, 0x00, 0x00, 0x00};  // 0x101, LONG, 1
    auto start = std::search(note, orf.end(), std::begin(entry), std::end(entry));
    ASSERT_NE(start, orf.end());
    size_t moved = orf.size() + (orf.size() & 1);
    uint32_t rel = static_cast<uint32_t>(moved - static_cast<size_t>(note - orf.begin()));
    for (int i = 0; i < 4; ++i) start[8 + i] = static_cast<uint8_t>(rel >> (8 * i));
    orf.resize(moved);
    orf.insert(orf.end(), jpeg.begin(), jpeg.end());
    Read r = ReadCandidate(orf);
    ASSERT_EQ(r.result.verdict, StructureVerdict::Whole) << r.result.why;
    EXPECT_EQ(r.result.length, orf.size());
}

TEST(TiffReader, AnExifBlockIsNoTiffPhoto) {
    // The TIFF structure inside a JPEG's APP1: directories, tags and a
    // thumbnail, no image of its own.
    std::string dir = FormatsDir();
    if (dir.empty() || !testutil::HaveTool("exiftool")) GTEST_SKIP() << "no photos or exiftool";
    testutil::TempDir tmp;
    std::string jpg = tmp / "e.jpg";
    ASSERT_EQ(testutil::Run("convert -size 64x48 xc:gray " + jpg + " && exiftool -q -overwrite_original -Make=Canon "
                            "-Model=X -ThumbnailImage'<='" + dir + "/../IMG_0105.JPG " + jpg),
              0);
    std::string exif = testutil::Capture("exiftool -b -EXIF " + jpg + " > " + tmp / "exif.bin");
    std::vector<uint8_t> block = testutil::ReadFileBytes(tmp / "exif.bin");
    ASSERT_GT(block.size(), 8u);
    ASSERT_TRUE(block[0] == 'I' || block[0] == 'M');
    Read r = ReadCandidate(block);
    if (r.matched) {
        EXPECT_EQ(r.result.verdict, StructureVerdict::NotThisFormat) << r.result.why;
    }
}

// A little-endian TIFF of one strip, with room to break it.
std::vector<uint8_t> OneStrip(uint32_t stripOffset, uint32_t stripBytes, uint32_t next = 0) {
    tiffbuild::Builder b(false, rawsample::Header(false));
    int ifd0 = b.AddIfd();
    b.LongTag(ifd0, rawsample::ImageWidth, {16});
    b.LongTag(ifd0, rawsample::ImageLength, {16});
    b.LongTag(ifd0, rawsample::StripOffsets, {stripOffset});
    b.LongTag(ifd0, rawsample::StripByteCounts, {stripBytes});
    b.AddBlock(Junk(256));
    std::vector<uint8_t> f = b.Build();
    // The next-IFD pointer: after 4 entries.
    uint32_t at = 8 + 2 + 4 * 12;
    for (int i = 0; i < 4; ++i) f[at + i] = static_cast<uint8_t>(next >> (8 * i));
    return f;
}

TEST(TiffReader, BrokenAndHostileDirectories) {
    std::vector<uint8_t> ok = OneStrip(62, 256);  // the block right after the directory
    {
        CMemoryByteSource src(ok);
        StructureResult r = ReadTiffStructure(src);
        EXPECT_EQ(r.verdict, StructureVerdict::Whole);
        EXPECT_EQ(r.length, ok.size());
    }
    {   // IFD0's next pointer points at IFD0: read once.
        std::vector<uint8_t> loop = OneStrip(62, 256, 8);
        CMemoryByteSource src(loop);
        EXPECT_EQ(ReadTiffStructure(src).verdict, StructureVerdict::Whole);
    }
    {   // A strip past the end of what can be read.
        std::vector<uint8_t> past = OneStrip(64, 1u << 30);
        CMemoryByteSource src(past);
        StructureResult r = ReadTiffStructure(src);
        EXPECT_EQ(r.verdict, StructureVerdict::Broken);
        EXPECT_LE(r.length, past.size());
    }
    {   // A next pointer far past the end.
        std::vector<uint8_t> far = OneStrip(62, 256, 0xFFFFFFF0u);
        CMemoryByteSource src(far);
        EXPECT_EQ(ReadTiffStructure(src).verdict, StructureVerdict::Broken);
    }
    {   // The directory itself cannot be read.
        FailingSource src(ok, 10);
        EXPECT_EQ(ReadTiffStructure(src).verdict, StructureVerdict::Broken);
    }
    {   // Strips without byte counts: the end is written nowhere.
        tiffbuild::Builder b(false, rawsample::Header(false));
        int ifd0 = b.AddIfd();
        b.LongTag(ifd0, rawsample::ImageWidth, {16});
        b.LongTag(ifd0, rawsample::ImageLength, {16});
        b.LongTag(ifd0, rawsample::StripOffsets, {64});
        std::vector<uint8_t> f = b.Build();
        f.resize(512);
        CMemoryByteSource src(f);
        EXPECT_EQ(ReadTiffStructure(src).verdict, StructureVerdict::Unbounded);
    }
    {   // 65535 entries, and a strip array of 2^30 offsets: bounded, with a verdict.
        std::vector<uint8_t> f = {'I', 'I', 42, 0, 8, 0, 0, 0, 0xFF, 0xFF};
        CMemoryByteSource src(f);
        EXPECT_EQ(ReadTiffStructure(src).verdict, StructureVerdict::NotThisFormat);
        tiffbuild::Builder b(false, rawsample::Header(false));
        int ifd0 = b.AddIfd();
        b.LongTag(ifd0, rawsample::ImageWidth, {16});
        b.LongTag(ifd0, rawsample::ImageLength, {16});
        b.LongTag(ifd0, rawsample::StripOffsets, {64, 64});
        b.LongTag(ifd0, rawsample::StripByteCounts, {1, 1});
        std::vector<uint8_t> g = b.Build();
        g[8 + 2 + 2 * 12 + 4] = 0;  // StripOffsets count: 2 -> 0x40000000
        g[8 + 2 + 2 * 12 + 7] = 0x40;
        g.resize(1 << 20);
        CMemoryByteSource big(g);
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(ReadTiffStructure(big).verdict, StructureVerdict::Broken);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    }
    {   // SubIFDs that point at each other and at IFD0.
        tiffbuild::Builder b(false, rawsample::Header(false));
        int ifd0 = b.AddIfd(), a = b.AddIfd(), c = b.AddIfd();
        int blk = b.AddBlock(Junk(100));
        b.LongTag(ifd0, rawsample::ImageWidth, {16});
        b.LongTag(ifd0, rawsample::ImageLength, {16});
        b.DataTags(ifd0, rawsample::StripOffsets, rawsample::StripByteCounts, blk);
        b.OffsetsTag(ifd0, rawsample::SubIfds, {a, c, ifd0}, true);
        b.OffsetsTag(a, rawsample::SubIfds, {c, a, ifd0}, true);
        b.OffsetsTag(c, rawsample::SubIfds, {a, c}, true);
        b.Next(ifd0, a);
        std::vector<uint8_t> f = b.Build();
        CMemoryByteSource src(f);
        StructureResult r = ReadTiffStructure(src);
        EXPECT_EQ(r.verdict, StructureVerdict::Whole);
        EXPECT_EQ(r.length, f.size());
    }
}

TEST(TiffSignature, OnlyPlausibleDirectoriesStartCandidates) {
    std::vector<uint8_t> h(512, 0);
    const uint8_t hdr[] = {'I', 'I', 42, 0, 8, 0, 0, 0, 3, 0};
    std::copy(std::begin(hdr), std::end(hdr), h.begin());
    // Three entries of real types.
    for (int i = 0; i < 3; ++i) { h[10 + 12 * i] = static_cast<uint8_t>(i); h[10 + 12 * i + 1] = 1; h[10 + 12 * i + 2] = 3; }
    EXPECT_TRUE(IsTiffSignature(h));
    h[10 + 12 + 2] = 99;  // a type that does not exist
    EXPECT_FALSE(IsTiffSignature(h));
    h[10 + 12 + 2] = 3;
    h[8] = 0;  // no entries
    EXPECT_FALSE(IsTiffSignature(h));
    h[8] = 3;
    h[4] = 2;  // IFD0 inside the header
    EXPECT_FALSE(IsTiffSignature(h));
    // A CR2 header is a RAW signature, not a TIFF one.
    std::vector<uint8_t> cr2 = rawsample::Cr2(SmallJpeg(32, 24));
    std::span<const uint8_t> head(cr2.data(), 512);
    EXPECT_FALSE(IsTiffSignature(head));
    EXPECT_TRUE(IsRawSignature(head));
}

}  // namespace
