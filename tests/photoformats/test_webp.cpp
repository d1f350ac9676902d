// The WebP reader on files written by cwebp (lossy, lossless, with alpha),
// and on broken RIFF sizes and chunks.
#include <gtest/gtest.h>

#include "formats_testsupport.h"
#include "photoformats/readers.h"

using namespace fmtest;

namespace {

TEST(WebpReader, CwebpFilesEndWhereTheFileEnds) {
    std::string dir = FormatsDir();
    if (dir.empty()) GTEST_SKIP() << "no photos or tools";
    for (const char* name : {"lossy.webp", "lossless.webp", "alpha.webp"}) {
        SCOPED_TRACE(name);
        std::vector<uint8_t> bytes = testutil::ReadFileBytes(dir + "/" + name);
        ASSERT_FALSE(bytes.empty());
        Read r = ReadCandidate(bytes);
        ASSERT_NE(r.matched, nullptr);
        EXPECT_EQ(r.matched->category, WebP);
        ASSERT_EQ(r.result.verdict, StructureVerdict::Whole) << r.result.why;
        EXPECT_EQ(r.result.length, bytes.size());

        std::vector<uint8_t> cut(bytes.begin(), bytes.end() - 7);
        CMemoryByteSource src(cut);
        EXPECT_EQ(ReadWebpStructure(src).verdict, StructureVerdict::Broken);

        std::vector<uint8_t> odd = bytes;  // a RIFF size that ends inside a chunk
        odd[4] = static_cast<uint8_t>(odd[4] - 2);
        CMemoryByteSource oddSrc(odd);
        EXPECT_EQ(ReadWebpStructure(oddSrc).verdict, StructureVerdict::Broken);

        std::vector<uint8_t> huge = bytes;  // a RIFF size of 4 GiB
        huge[4] = huge[5] = huge[6] = huge[7] = 0xFF;
        CMemoryByteSource hugeSrc(huge);
        EXPECT_EQ(ReadWebpStructure(hugeSrc).verdict, StructureVerdict::Broken);
    }
}

TEST(WebpSignature, OtherRiffFilesAreNoWebp) {
    std::vector<uint8_t> wav = {'R', 'I', 'F', 'F', 100, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0};
    wav.resize(512);
    EXPECT_EQ(MatchPhotoFormat(wav), nullptr);
    std::vector<uint8_t> webp = {'R', 'I', 'F', 'F', 100, 0, 0, 0, 'W', 'E', 'B', 'P', 'V', 'P', '8', ' ', 80, 0, 0, 0,
                                 0x50, 0x02, 0x00, 0x9D, 0x01, 0x2A};
    webp.resize(512);
    EXPECT_TRUE(IsWebpSignature(webp));
    webp[23] = 0;  // no key frame start code
    EXPECT_FALSE(IsWebpSignature(webp));
}

}  // namespace
