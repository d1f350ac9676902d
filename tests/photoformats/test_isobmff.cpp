// The ISO base media reader on HEIC and AVIF files written by heif-enc,
// on a synthetic Canon CR3 (the box layout Canon documents: ftyp "crx ",
// moov with Canon's uuid, the preview's uuid, mdat with the sensor data
// last), and on hand-made HEIF files for box sizes 0, 1 and broken ones.
#include <gtest/gtest.h>

#include <string>

#include "formats_testsupport.h"
#include "photoformats/readers.h"

using namespace fmtest;

namespace {

void Be32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (24 - 8 * i)));
}

std::vector<uint8_t> Box(const std::string& type, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> b;
    Be32(b, static_cast<uint32_t>(8 + payload.size()));
    b.insert(b.end(), type.begin(), type.end());
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

std::vector<uint8_t> Ftyp(const std::string& major, const std::vector<std::string>& compatible) {
    std::vector<uint8_t> p(major.begin(), major.end());
    Be32(p, 0);
    for (const std::string& c : compatible) p.insert(p.end(), c.begin(), c.end());
    return Box("ftyp", p);
}

void Append(std::vector<uint8_t>& a, const std::vector<uint8_t>& b) { a.insert(a.end(), b.begin(), b.end()); }

enum class Mdat { Normal, Large, ToEnd };

// ftyp "heic", meta (hdlr "pict", iloc v0 with one item of one extent in
// mdat), mdat holding the item's bytes.
std::vector<uint8_t> Heif(Mdat mode, size_t dataBytes = 300) {
    std::vector<uint8_t> ftyp = Ftyp("heic", {"mif1", "heic"});
    std::vector<uint8_t> hdlr = {0, 0, 0, 0, 0, 0, 0, 0, 'p', 'i', 'c', 't', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    size_t metaSize = 8 + 4 + (8 + hdlr.size()) + (8 + 4 + 2 + 2 + 2 + 2 + 2 + 8);
    size_t header = mode == Mdat::Large ? 16 : 8;
    uint32_t dataAt = static_cast<uint32_t>(ftyp.size() + metaSize + header);
    std::vector<uint8_t> iloc = {0, 0, 0, 0, 0x44, 0x00, 0, 1, 0, 1, 0, 0, 0, 1};
    Be32(iloc, dataAt);
    Be32(iloc, static_cast<uint32_t>(dataBytes));
    std::vector<uint8_t> metaPayload = {0, 0, 0, 0};
    Append(metaPayload, Box("hdlr", hdlr));
    Append(metaPayload, Box("iloc", iloc));
    std::vector<uint8_t> f = ftyp;
    Append(f, Box("meta", metaPayload));
    std::vector<uint8_t> data = Junk(dataBytes, 8);
    if (mode == Mdat::Normal) {
        Append(f, Box("mdat", data));
    } else {
        Be32(f, mode == Mdat::Large ? 1 : 0);
        f.insert(f.end(), {'m', 'd', 'a', 't'});
        if (mode == Mdat::Large) {
            Be32(f, 0);
            Be32(f, static_cast<uint32_t>(16 + dataBytes));
        }
        Append(f, data);
    }
    return f;
}

StructureResult ReadBytes(const std::vector<uint8_t>& bytes) {
    CMemoryByteSource src(bytes);
    return ReadIsoBmffStructure(src);
}

TEST(IsoBmffReader, HeifEncFilesEndWhereTheFileEnds) {
    std::string dir = FormatsDir();
    if (dir.empty()) GTEST_SKIP() << "no photos or tools";
    for (auto [name, ext] : {std::pair{"photo.heic", "heic"}, std::pair{"photo.avif", "avif"}}) {
        SCOPED_TRACE(name);
        std::vector<uint8_t> bytes = testutil::ReadFileBytes(dir + "/" + name);
        ASSERT_FALSE(bytes.empty());
        Read r = ReadCandidate(bytes);
        ASSERT_NE(r.matched, nullptr);
        EXPECT_EQ(r.stored->category, Heic);
        ASSERT_EQ(r.result.verdict, StructureVerdict::Whole) << r.result.why;
        EXPECT_EQ(r.result.length, bytes.size());
        EXPECT_EQ(r.result.extension, ext);

        // The last box's size set to 0 ("to the end of the file"): the item
        // locations still tell where the photo ends.
        uint64_t pos = 0, last = 0;
        while (pos + 8 <= bytes.size()) {
            last = pos;
            pos += uint64_t{bytes[pos]} << 24 | bytes[pos + 1] << 16 | bytes[pos + 2] << 8 | bytes[pos + 3];
        }
        ASSERT_EQ(pos, bytes.size());
        std::vector<uint8_t> zero = bytes;
        zero[last] = zero[last + 1] = zero[last + 2] = zero[last + 3] = 0;
        zero.resize(zero.size() + 4096, 0x55);
        StructureResult z = ReadBytes(zero);
        EXPECT_EQ(z.verdict, StructureVerdict::Whole) << z.why;
        EXPECT_EQ(z.length, bytes.size());

        std::vector<uint8_t> cut(bytes.begin(), bytes.end() - 50);
        EXPECT_EQ(ReadBytes(cut).verdict, StructureVerdict::Broken);
    }
}

TEST(IsoBmffReader, BoxSizesZeroOneAndBroken) {
    for (Mdat mode : {Mdat::Normal, Mdat::Large, Mdat::ToEnd}) {
        std::vector<uint8_t> f = Heif(mode);
        size_t size = f.size();
        Read r = ReadCandidate(f, mode == Mdat::ToEnd ? 0 : 2048);
        ASSERT_NE(r.matched, nullptr);
        EXPECT_EQ(r.result.verdict, StructureVerdict::Whole) << r.result.why;
        EXPECT_EQ(r.result.length, size);
        EXPECT_EQ(r.result.extension, "heic");
    }
    {   // a 64-bit size below its own header
        std::vector<uint8_t> f = Heif(Mdat::Large);
        size_t mdat = f.size() - 300 - 16;
        f[mdat + 15] = 8;
        f[mdat + 14] = 0;
        EXPECT_EQ(ReadBytes(f).verdict, StructureVerdict::Broken);
    }
    {   // a 64-bit size of 2^63: past the end, no overflow
        std::vector<uint8_t> f = Heif(Mdat::Large);
        size_t mdat = f.size() - 300 - 16;
        f[mdat + 8] = 0x80;
        EXPECT_EQ(ReadBytes(f).verdict, StructureVerdict::Broken);
    }
    {   // a box of 3 bytes
        std::vector<uint8_t> f = Heif(Mdat::Normal);
        size_t mdat = f.size() - 300 - 8;
        f[mdat + 3] = 3;
        f[mdat + 2] = f[mdat + 1] = 0;
        EXPECT_EQ(ReadBytes(f).verdict, StructureVerdict::Broken);
    }
    {   // the image's data went with a lost mdat
        std::vector<uint8_t> f = Heif(Mdat::Normal);
        f.resize(f.size() - 300 - 8);
        f.resize(f.size() + 600, 0);
        StructureResult r = ReadBytes(f);
        EXPECT_EQ(r.verdict, StructureVerdict::Broken);
    }
    {   // no meta: no HEIF photo
        std::vector<uint8_t> f = Ftyp("heic", {"mif1"});
        Append(f, Box("mdat", Junk(100)));
        EXPECT_EQ(ReadBytes(f).verdict, StructureVerdict::NotThisFormat);
    }
    {   // a size-0 last box without item locations
        std::vector<uint8_t> f = Ftyp("crx ", {"crx ", "isom"});
        Append(f, Box("moov", Junk(64)));
        f.insert(f.end(), {0, 0, 0, 0, 'm', 'd', 'a', 't'});
        Append(f, Junk(1000));
        EXPECT_EQ(ReadBytes(f).verdict, StructureVerdict::Unbounded);
    }
}

TEST(IsoBmffSignature, PhotoBrandsOnly) {
    auto head = [](std::vector<uint8_t> f) { f.resize(512); return f; };
    EXPECT_TRUE(IsHeifSignature(head(Ftyp("heic", {"mif1", "heic"}))));
    EXPECT_TRUE(IsHeifSignature(head(Ftyp("mif1", {"mif1", "avif"}))));
    EXPECT_TRUE(IsCr3Signature(head(Ftyp("crx ", {"crx ", "isom"}))));
    EXPECT_FALSE(IsHeifSignature(head(Ftyp("crx ", {"crx "}))));
    // Videos from the same phones and cameras are not photos.
    EXPECT_EQ(MatchPhotoFormat(head(Ftyp("isom", {"isom", "iso2", "avc1", "mp41"}))), nullptr);
    EXPECT_EQ(MatchPhotoFormat(head(Ftyp("qt  ", {"qt  "}))), nullptr);
    std::vector<uint8_t> odd = head(Ftyp("heic", {"mif1"}));
    odd[3] = 23;  // a brand list that is not whole brands
    EXPECT_FALSE(IsHeifSignature(odd));
}

// Canon CR3: ftyp "crx ", moov (Canon's uuid 85c0b687-820f-11e0-8111-
// f4ce462b6a48 with its CNCV version box), the preview's uuid
// (eaf42b5e-1c98-4b88-b9fb-b7dc406e4d16) holding a PRVW box and a JPEG,
// then mdat with the sensor data.
TEST(IsoBmffReader, Cr3) {
    std::vector<uint8_t> jpeg = SmallJpeg();
    std::vector<uint8_t> f = Ftyp("crx ", {"crx ", "isom"});
    const uint8_t canon[] = {0x85, 0xc0, 0xb6, 0x87, 0x82, 0x0f, 0x11, 0xe0, 0x81, 0x11, 0xf4, 0xce, 0x46, 0x2b, 0x6a, 0x48};
    std::vector<uint8_t> cncv(canon, canon + 16);
    std::string version = "CanonCR3_001/01.09.00/00.00.00";
    Append(cncv, Box("CNCV", std::vector<uint8_t>(version.begin(), version.end())));
    Append(f, Box("moov", Box("uuid", cncv)));
    const uint8_t prvwId[] = {0xea, 0xf4, 0x2b, 0x5e, 0x1c, 0x98, 0x4b, 0x88, 0xb9, 0xfb, 0xb7, 0xdc, 0x40, 0x6e, 0x4d, 0x16};
    std::vector<uint8_t> prvw(prvwId, prvwId + 16);
    prvw.insert(prvw.end(), 8, 0);
    std::vector<uint8_t> p = {0, 0, 0, 0, 0, 1, 0, 160, 0, 120, 0, 1};
    Be32(p, static_cast<uint32_t>(jpeg.size()));
    Append(p, jpeg);
    Append(prvw, Box("PRVW", p));
    Append(f, Box("uuid", prvw));
    Append(f, Box("mdat", Junk(96 * 64 * 2)));
    Read r = ReadCandidate(f);
    ASSERT_NE(r.matched, nullptr);
    EXPECT_EQ(r.matched->category, Raw);
    ASSERT_EQ(r.result.verdict, StructureVerdict::Whole) << r.result.why;
    EXPECT_EQ(r.result.length, f.size());
    EXPECT_EQ(r.result.extension, "cr3");
    CMemoryByteSource src(f);
    std::vector<ByteRange> previews = EmbeddedJpegs(src);
    ASSERT_EQ(previews.size(), 1u);
    EXPECT_TRUE(std::equal(jpeg.begin(), jpeg.end(), f.begin() + static_cast<long>(previews[0].offset)));
    EXPECT_EQ(previews[0].length, jpeg.size());
    if (!testutil::HaveTool("exiftool")) return;
    testutil::TempDir tmp;
    ASSERT_TRUE(testutil::WriteFileBytes(tmp / "a.cr3", f));
    EXPECT_EQ(Exiftool(tmp / "a.cr3", "FileType"), "CR3");
}

}  // namespace
