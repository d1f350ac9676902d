#include <gtest/gtest.h>

#include <cstring>

#include "filesystem/ntfs_filerecord.h"
#include "filesystem/ntfs_mount.h"
#include "io/le.h"
#include "ntfs_testsupport.h"

namespace {

using ntfstest::ImageDevice;
using ntfstest::LogCapture;

constexpr size_t kUsa = 0x30;
constexpr size_t kFirstAttr = 0x38;

// A 1024-byte file record protected by the check value 0x1234, with the
// given attributes (each a type and a length, the rest zero) and an end marker.
std::vector<uint8_t> Record(std::vector<std::pair<uint32_t, uint32_t>> attrs = {}) {
    std::vector<uint8_t> r(1024);
    std::memcpy(r.data(), "FILE", 4);
    le::put16(r, NTFS_REC_USA_OFFSET, kUsa);
    le::put16(r, NTFS_REC_USA_COUNT, 3);
    le::put16(r, NTFS_REC_ATTRS_OFFSET, kFirstAttr);
    le::put16(r, NTFS_REC_FLAGS, 1);
    size_t pos = kFirstAttr;
    for (auto [type, len] : attrs) {
        le::put32(r, pos, type);
        le::put32(r, pos + 4, len);
        pos += len;
    }
    le::put32(r, pos, NTFS_AT_END);
    le::put32(r, NTFS_REC_BYTES_IN_USE, static_cast<uint32_t>(pos + 8));
    // The update sequence: check value, then the saved block tails.
    le::put16(r, kUsa, 0x1234);
    le::put16(r, kUsa + 2, 0xAAAA);
    le::put16(r, kUsa + 4, 0xBBBB);
    le::put16(r, 510, 0x1234);
    le::put16(r, 1022, 0x1234);
    return r;
}

TEST(MstFixup, RestoresBlockTailsAndTheLookupWorks) {
    std::vector<uint8_t> r = Record({{0x10, 0x60}, {0x30, 0x68}, {0x80, 0x48}});
    ASSERT_EQ(ntfs_mst_post_read_fixup(r), 0);
    EXPECT_EQ(le::u16(r, 510), 0xAAAA);
    EXPECT_EQ(le::u16(r, 1022), 0xBBBB);
    std::span<const uint8_t> data = NtfsFindAttr(r, NTFS_AT_DATA);
    ASSERT_EQ(data.size(), 0x48u);
    EXPECT_EQ(data.data(), r.data() + kFirstAttr + 0x60 + 0x68);
}

TEST(MstFixup, MismatchMarksTheRecordBad) {
    std::vector<uint8_t> r = Record();
    le::put16(r, 1022, 0x1235);
    EXPECT_EQ(ntfs_mst_post_read_fixup(r), -1);
    EXPECT_EQ(std::memcmp(r.data(), "BAAD", 4), 0);
    EXPECT_EQ(le::u16(r, 510), 0x1234);  // the first block is not restored either
}

TEST(MstFixup, HeaderThatDoesNotFitTheSizeLeavesTheRecordAlone) {
    std::vector<uint8_t> r = Record();
    le::put16(r, NTFS_REC_USA_COUNT, 2);  // one block for 1024 bytes
    std::vector<uint8_t> before = r;
    EXPECT_EQ(ntfs_mst_post_read_fixup(r), -1);
    EXPECT_EQ(r, before);

    r = Record();
    le::put16(r, NTFS_REC_USA_OFFSET, kUsa + 1);  // odd offset
    EXPECT_EQ(ntfs_mst_post_read_fixup(r), -1);
    r = Record();
    le::put16(r, NTFS_REC_USA_OFFSET, 1024 - 4);  // array runs off the record
    EXPECT_EQ(ntfs_mst_post_read_fixup(r), -1);
    r = Record();
    le::put16(r, NTFS_REC_USA_COUNT, 0);  // wraps to 65535 blocks
    EXPECT_EQ(ntfs_mst_post_read_fixup(r), -1);
    r = Record();
    EXPECT_EQ(ntfs_mst_post_read_fixup(std::span<uint8_t>(r).first(1000)), -1);  // not whole blocks
    EXPECT_EQ(std::memcmp(r.data(), "FILE", 4), 0);
}

TEST(FindAttr, FirstOfTwoAndTheEndMarker) {
    std::vector<uint8_t> r = Record({{0x10, 0x60}, {0x80, 0x48}, {0x80, 0x50}});
    ASSERT_EQ(ntfs_mst_post_read_fixup(r), 0);
    EXPECT_EQ(NtfsFindAttr(r, NTFS_AT_DATA).size(), 0x48u);
    EXPECT_TRUE(NtfsFindAttr(r, NTFS_AT_BITMAP).empty());
}

TEST(FindAttr, FirstAttributeBeyondBytesInUse) {
    std::vector<uint8_t> r = Record({{0x80, 0x48}});
    le::put32(r, NTFS_REC_BYTES_IN_USE, kFirstAttr - 8);
    EXPECT_TRUE(NtfsFindAttr(r, NTFS_AT_DATA).empty());
}

TEST(FindAttr, CorruptLengthsEndTheWalk) {
    // Length 0 would loop for ever.
    std::vector<uint8_t> r = Record({{0x10, 0x60}, {0x80, 0x48}});
    le::put32(r, kFirstAttr + 4, 0);
    EXPECT_TRUE(NtfsFindAttr(r, NTFS_AT_DATA).empty());
    NtfsAttrWalker w(r);
    EXPECT_TRUE(w.Next().empty());
    EXPECT_TRUE(w.Corrupt());
    // Too short for an attribute header.
    le::put32(r, kFirstAttr + 4, 8);
    EXPECT_TRUE(NtfsFindAttr(r, NTFS_AT_DATA).empty());
    // A non-resident attribute shorter than its header.
    r = Record({{0x80, 0x30}});
    r[kFirstAttr + NTFS_ATTR_NON_RESIDENT] = 1;
    EXPECT_TRUE(NtfsFindAttr(r, NTFS_AT_DATA).empty());
    // Reaching past bytes in use.
    r = Record({{0x10, 0x60}, {0x80, 0x48}});
    le::put32(r, kFirstAttr + 4, 0x400);
    EXPECT_TRUE(NtfsFindAttr(r, NTFS_AT_DATA).empty());
    // Bytes in use beyond the buffer: the walk stays inside the buffer.
    r = Record({{0x10, 0x60}});
    le::put32(r, NTFS_REC_BYTES_IN_USE, 0x10000);
    le::put32(r, kFirstAttr + 0x60, 0x80);
    le::put32(r, kFirstAttr + 0x64, 0x1000);
    EXPECT_TRUE(NtfsFindAttr(r, NTFS_AT_DATA).empty());
    // A walk running into the end of the buffer without an end marker.
    std::vector<uint8_t> cut(r.begin(), r.begin() + kFirstAttr + 0x62);
    EXPECT_TRUE(NtfsFindAttr(cut, NTFS_AT_DATA).empty());
}

TEST(FindAttr, ResidentValueMustLieInsideItsAttribute) {
    std::vector<uint8_t> r = Record({{0x30, 0x68}});
    std::span<const uint8_t> fn = NtfsFindAttr(r, NTFS_AT_FILE_NAME);
    ASSERT_FALSE(fn.empty());
    le::put16(r, kFirstAttr + NTFS_ATTR_VALUE_OFFSET, 0x18);
    le::put32(r, kFirstAttr + NTFS_ATTR_VALUE_LENGTH, 0x50);
    EXPECT_EQ(NtfsResidentValue(fn).size(), 0x50u);
    le::put32(r, kFirstAttr + NTFS_ATTR_VALUE_LENGTH, 0x51);
    EXPECT_TRUE(NtfsResidentValue(fn).empty());
}

// An MFT in memory: record n carries n in its own-number field.
class RecordReading : public ::testing::Test {
protected:
    void Build(uint32_t clusterSize, const Runlist& rl) {
        vol = std::make_unique<NtfsVolume>();
        vol->sectorSize = 512;
        vol->sectorSizeBits = 9;
        vol->clusterSize = clusterSize;
        vol->clusterSizeBits = static_cast<uint8_t>(__builtin_ctz(clusterSize));
        vol->mftRecordSize = 1024;
        vol->mftRecordSizeBits = 10;
        runlist = rl;
        bytes = std::make_shared<std::vector<uint8_t>>(256 * 1024);
        int64_t n = 0;
        for (const RunlistElement& e : rl) {
            if (e.length == 0 || e.lcn < 0) continue;
            for (int64_t at = e.lcn * clusterSize; at < (e.lcn + e.length) * clusterSize; at += 1024) {
                std::span<uint8_t> rec(bytes->data() + at, 1024);
                std::memcpy(rec.data(), "FILE", 4);
                le::put32(rec, NTFS_REC_NUMBER, static_cast<uint32_t>(n++));
            }
        }
        dev = ImageDevice::OverMemory(bytes);
    }
    uint32_t Number(const std::vector<uint8_t>& r) { return le::u32(r, NTFS_REC_NUMBER); }

    std::unique_ptr<NtfsVolume> vol;
    Runlist runlist;
    std::shared_ptr<std::vector<uint8_t>> bytes;
    std::unique_ptr<ImageDevice> dev;
};

TEST_F(RecordReading, FourRecordsPerCluster) {
    Build(4096, {{0, 10, 1}, {1, 20, 1}, {2, LCN_ENOENT, 0}});
    std::vector<uint8_t> r3 = NtfsReadRecordFromMft(dev.get(), runlist, vol.get(), 3);
    ASSERT_EQ(r3.size(), 1024u);
    EXPECT_EQ(Number(r3), 3u);
    ASSERT_EQ(dev->reads.size(), 1u);
    EXPECT_EQ(dev->reads[0], (std::pair<uint64_t, uint64_t>(80, 8)));  // cluster 10, record at byte 3072
    dev->reads.clear();
    std::vector<uint8_t> r4 = NtfsReadRecordFromMft(dev.get(), runlist, vol.get(), 4);
    ASSERT_EQ(r4.size(), 1024u);
    EXPECT_EQ(Number(r4), 4u);
    EXPECT_EQ(dev->reads[0], (std::pair<uint64_t, uint64_t>(160, 8)));  // the next run's cluster 20
}

TEST_F(RecordReading, RecordOverTwoClusters) {
    Build(512, {{0, 30, 2}, {2, 50, 2}, {4, LCN_ENOENT, 0}});
    std::vector<uint8_t> r1 = NtfsReadRecordFromMft(dev.get(), runlist, vol.get(), 1);
    ASSERT_EQ(r1.size(), 1024u);
    EXPECT_EQ(Number(r1), 1u);
    EXPECT_EQ(dev->reads, (std::vector<std::pair<uint64_t, uint64_t>>{{50, 2}}));
}

TEST_F(RecordReading, FailuresAreLoggedWithTheRecordNumber) {
    Build(4096, {{0, 10, 1}, {1, LCN_HOLE, 1}, {2, LCN_ENOENT, 0}});
    LogCapture log;
    (*bytes)[10 * 4096 + 2048] = 'X';
    EXPECT_TRUE(NtfsReadRecordFromMft(dev.get(), runlist, vol.get(), 2).empty());
    EXPECT_TRUE(log.Has("Corrupt File Head, Mft No: 2 \n"));
    EXPECT_TRUE(NtfsReadRecordFromMft(dev.get(), runlist, vol.get(), 5).empty());
    EXPECT_TRUE(log.Has("NtfsReadRl failed, Lcn Off: 1, Len:1 \n"));
    EXPECT_TRUE(NtfsReadRecordFromMft(dev.get(), runlist, vol.get(), 9).empty());
    EXPECT_TRUE(NtfsReadRecordFromMft(dev.get(), runlist, vol.get(), -1).empty());
    EXPECT_TRUE(NtfsReadRecordFromMft(dev.get(), runlist, vol.get(), INT64_MAX).empty());
}

TEST_F(RecordReading, RecordZeroFromTheMirror) {
    Build(4096, {{0, 10, 1}, {1, LCN_ENOENT, 0}});
    vol->mftMirrLcn = 10;
    std::vector<uint8_t> r0 = NtfsReadRecordFromMftMirr(vol.get(), dev.get());
    ASSERT_EQ(r0.size(), 1024u);
    EXPECT_EQ(dev->reads, (std::vector<std::pair<uint64_t, uint64_t>>{{80, 2}}));
    LogCapture log;
    vol->mftMirrLcn = 12;  // zeros
    EXPECT_TRUE(NtfsReadRecordFromMftMirr(vol.get(), dev.get()).empty());
    EXPECT_TRUE(log.Has("Corrupt File Head, Mft No: 0 \n"));
}

}  // namespace
