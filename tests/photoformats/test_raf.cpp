// The RAF reader on synthetic Fujifilm files built to the format's
// documented layout (header, offset directory, preview JPEG, meta
// container, sensor data last), checked with exiftool.
#include <gtest/gtest.h>

#include <cstring>

#include "formats_testsupport.h"
#include "photoformats/readers.h"

using namespace fmtest;

namespace {

void Put32Be(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// Header and offset directory, the JPEG at 0x94 as the cameras put it, the
// meta container (record count, then tag/size/data records: sensor size,
// raw info), then the sensor data.
std::vector<uint8_t> Raf(const std::vector<uint8_t>& jpeg) {
    std::vector<uint8_t> f(0x94, 0);
    std::memcpy(f.data(), "FUJIFILMCCD-RAW 0201FF129502X-T2", 32);
    std::memcpy(f.data() + 60, "0100", 4);
    const uint32_t jpegAt = 0x94;
    f.resize(jpegAt + (jpeg.size() + 3) / 4 * 4, 0);
    std::copy(jpeg.begin(), jpeg.end(), f.begin() + jpegAt);
    const uint32_t metaAt = static_cast<uint32_t>(f.size());
    const uint8_t meta[] = {0, 0, 0, 2,  0x01, 0x00, 0, 4, 0, 64, 0, 96,  0x01, 0x30, 0, 4, 0, 0, 0, 12};
    f.insert(f.end(), std::begin(meta), std::end(meta));
    const uint32_t cfaAt = static_cast<uint32_t>(f.size());
    std::vector<uint8_t> sensor = Junk(96 * 64 * 2, 21);
    f.insert(f.end(), sensor.begin(), sensor.end());
    Put32Be(f, 84, jpegAt);
    Put32Be(f, 88, static_cast<uint32_t>(jpeg.size()));
    Put32Be(f, 92, metaAt);
    Put32Be(f, 96, sizeof meta);
    Put32Be(f, 100, cfaAt);
    Put32Be(f, 104, static_cast<uint32_t>(sensor.size()));
    return f;
}

TEST(RafReader, EndsAfterTheSensorData) {
    std::vector<uint8_t> jpeg = SmallJpeg();
    std::vector<uint8_t> raf = Raf(jpeg);
    Read r = ReadCandidate(raf);
    ASSERT_NE(r.matched, nullptr);
    EXPECT_EQ(r.matched->category, Raw);
    ASSERT_EQ(r.result.verdict, StructureVerdict::Whole) << r.result.why;
    EXPECT_EQ(r.result.length, raf.size());
    EXPECT_EQ(r.result.extension, "raf");
    CMemoryByteSource src(raf);
    std::vector<ByteRange> previews = EmbeddedJpegs(src);
    ASSERT_EQ(previews.size(), 1u);
    EXPECT_EQ(previews[0].offset, 0x94u);
    EXPECT_EQ(previews[0].length, jpeg.size());

    if (!testutil::HaveTool("exiftool")) return;
    testutil::TempDir tmp;
    ASSERT_TRUE(testutil::WriteFileBytes(tmp / "a.raf", raf));
    EXPECT_EQ(Exiftool(tmp / "a.raf", "FileType"), "RAF");
    EXPECT_EQ(Exiftool(tmp / "a.raf", "Error"), "");
    // exiftool finds the preview where the directory says.
    ASSERT_EQ(testutil::Run("exiftool -b -PreviewImage " + tmp / "a.raf" + " > " + tmp / "p.jpg"), 0);
    EXPECT_EQ(testutil::ReadFileBytes(tmp / "p.jpg"), jpeg);
}

TEST(RafReader, BrokenHeaders) {
    std::vector<uint8_t> raf = Raf(SmallJpeg(32, 24));
    {   // cut inside the sensor data
        std::vector<uint8_t> cut(raf.begin(), raf.end() - 100);
        CMemoryByteSource src(cut);
        StructureResult r = ReadRafStructure(src);
        EXPECT_EQ(r.verdict, StructureVerdict::Broken);
        EXPECT_LE(r.length, cut.size());
    }
    {   // a block inside the header
        std::vector<uint8_t> bad = raf;
        Put32Be(bad, 100, 20);
        CMemoryByteSource src(bad);
        EXPECT_EQ(ReadRafStructure(src).verdict, StructureVerdict::NotThisFormat);
    }
    {   // the preview is no JPEG
        std::vector<uint8_t> bad = raf;
        bad[0x94] = 0;
        CMemoryByteSource src(bad);
        EXPECT_EQ(ReadRafStructure(src).verdict, StructureVerdict::NotThisFormat);
    }
    {   // offsets near 4 GiB: no overflow, broken
        std::vector<uint8_t> bad = raf;
        Put32Be(bad, 100, 0xFFFFFFF0u);
        Put32Be(bad, 104, 0xFFFFFFF0u);
        CMemoryByteSource src(bad);
        EXPECT_EQ(ReadRafStructure(src).verdict, StructureVerdict::Broken);
    }
    {   // an unreadable directory
        FailingSource src(raf, 50);
        EXPECT_EQ(ReadRafStructure(src).verdict, StructureVerdict::Broken);
    }
    std::vector<uint8_t> version = raf;
    version[17] = 'x';
    EXPECT_FALSE(IsRafSignature(version));
    EXPECT_TRUE(IsRafSignature(raf));
}

}  // namespace
