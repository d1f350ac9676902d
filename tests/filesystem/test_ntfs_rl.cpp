#include <gtest/gtest.h>

#include <cstring>

#include "filesystem/ntfs_mount.h"
#include "filesystem/ntfs_rl.h"
#include "io/le.h"
#include "ntfs_testsupport.h"

void PrintTo(const RunlistElement& e, std::ostream* os) {
    *os << "{" << e.vcn << ", " << e.lcn << ", " << e.length << "}";
}

namespace {

using ntfstest::ImageDevice;
using ntfstest::LogCapture;

// A volume with only the geometry the runlist code uses.
std::unique_ptr<NtfsVolume> Geometry(uint32_t clusterSize) {
    auto vol = std::make_unique<NtfsVolume>();
    vol->sectorSize = 512;
    vol->sectorSizeBits = 9;
    vol->clusterSize = clusterSize;
    vol->clusterSizeBits = static_cast<uint8_t>(__builtin_ctz(clusterSize));
    return vol;
}

// A non-resident $DATA attribute record holding `pairs` right after its
// 64-byte header; the record ends with the last pair byte, and the vector is
// exactly that long so that any read past it trips the address sanitizer.
std::vector<uint8_t> Attr(const std::vector<uint8_t>& pairs, int64_t lowest, int64_t highest, int64_t allocated) {
    std::vector<uint8_t> a(0x40 + pairs.size());
    le::put32(a, 0, 0x80);
    le::put32(a, 4, static_cast<uint32_t>(a.size()));
    a[8] = 1;
    auto put64 = [&](size_t off, int64_t v) {
        le::put32(a, off, static_cast<uint32_t>(v));
        le::put32(a, off + 4, static_cast<uint32_t>(static_cast<uint64_t>(v) >> 32));
    };
    put64(16, lowest);
    put64(24, highest);
    le::put16(a, 32, 0x40);
    put64(40, allocated);
    std::memcpy(a.data() + 0x40, pairs.data(), pairs.size());
    return a;
}

class MappingPairs : public ::testing::Test {
protected:
    Runlist Decode(const std::vector<uint8_t>& attr) { return ntfs_mapping_pairs_decompress(vol.get(), attr); }
    std::unique_ptr<NtfsVolume> vol = Geometry(4096);
    LogCapture log;
};

TEST_F(MappingPairs, OneRunWithTerminator) {
    Runlist rl = Decode(Attr({0x21, 0x18, 0x34, 0x56, 0x00}, 0, 0x17, 0x18 * 4096));
    EXPECT_EQ(rl, (Runlist{{0, 0x5634, 0x18}, {0x18, LCN_ENOENT, 0}}));
    EXPECT_TRUE(log.Has("Entering for attr 0x80.\n"));
    EXPECT_TRUE(log.Has("Mapping pairs array successfully decompressed:\n"));
}

TEST_F(MappingPairs, HoleKeepsTheRunningLcn) {
    // 4 clusters at 0x10, a hole of 3, then 2 clusters at 0x10 + 5.
    Runlist rl = Decode(Attr({0x11, 0x04, 0x10, 0x01, 0x03, 0x11, 0x02, 0x05, 0x00}, 0, 8, 9 * 4096));
    EXPECT_EQ(rl, (Runlist{{0, 0x10, 4}, {4, LCN_HOLE, 3}, {7, 0x15, 2}, {9, LCN_ENOENT, 0}}));
}

TEST_F(MappingPairs, NegativeDeltasAreSignExtended) {
    // 0x10000, then back 0x1000 with a two-byte delta, then forward 0x80
    // (0x80 needs a second byte to stay positive).
    Runlist rl = Decode(Attr({0x31, 0x02, 0x00, 0x00, 0x01, 0x21, 0x02, 0x00, 0xF0, 0x21, 0x01, 0x80, 0x00, 0x00},
                             0, 4, 5 * 4096));
    EXPECT_EQ(rl, (Runlist{{0, 0x10000, 2}, {2, 0xF000, 2}, {4, 0xF080, 1}, {5, LCN_ENOENT, 0}}));
}

TEST_F(MappingPairs, LcnMinusOneIsAcceptedMinusTwoIsNot) {
    Runlist ok = Decode(Attr({0x11, 0x01, 0x01, 0x11, 0x01, 0xFE, 0x00}, 0, 1, 2 * 4096));
    EXPECT_EQ(ok, (Runlist{{0, 1, 1}, {1, -1, 1}, {2, LCN_ENOENT, 0}}));
    EXPECT_TRUE(Decode(Attr({0x11, 0x01, 0x01, 0x11, 0x01, 0xFD, 0x00}, 0, 1, 2 * 4096)).empty());
    EXPECT_TRUE(log.Has("Invalid LCN < -1 in mapping pairs array.\n"));
}

TEST_F(MappingPairs, PairsWithoutClosingZeroAreCorrupt) {
    EXPECT_TRUE(Decode(Attr({0x21, 0x18, 0x34, 0x56}, 0, 0x17, 0x18 * 4096)).empty());
    EXPECT_TRUE(log.Has("Corrupt attribute.\n"));
}

TEST_F(MappingPairs, NonZeroLowestVcnIsAnExtent) {
    Runlist rl = Decode(Attr({0x11, 0x08, 0x40, 0x00}, 0x20, 0x27, 0x100 * 4096));
    EXPECT_EQ(rl, (Runlist{{0, LCN_RL_NOT_MAPPED, 0x20}, {0x20, 0x40, 8}, {0x28, LCN_RL_NOT_MAPPED, 0}}));
}

TEST_F(MappingPairs, HighestVcnAgainstAllocation) {
    // Allocation beyond the highest VCN: the rest is another extent's.
    Runlist more = Decode(Attr({0x21, 0x18, 0x34, 0x56, 0x00}, 0, 0x17, 0x30 * 4096));
    EXPECT_EQ(more, (Runlist{{0, 0x5634, 0x18}, {0x18, LCN_RL_NOT_MAPPED, 0x18}, {0x30, LCN_ENOENT, 0}}));
    EXPECT_TRUE(log.Has("More extents to follow; deltaxcn = 0x17, max_cluster = 0x2f\n"));
    // Runs beyond the allocation are corrupt.
    EXPECT_TRUE(Decode(Attr({0x21, 0x18, 0x34, 0x56, 0x00}, 0, 0x17, 0x10 * 4096)).empty());
    EXPECT_TRUE(log.Has("Corrupt attribute. deltaxcn = 0x17, max_cluster = 0xf\n"));
    // Runs that do not end at the highest VCN are corrupt.
    EXPECT_TRUE(Decode(Attr({0x21, 0x18, 0x34, 0x56, 0x00}, 0, 0x20, 0x30 * 4096)).empty());
    EXPECT_TRUE(log.Has("Corrupt mapping pairs array in non-resident attribute.\n"));
}

TEST_F(MappingPairs, ResidentOrNegativeLowestVcnGivesNothingQuietly) {
    std::vector<uint8_t> a = Attr({0x11, 0x01, 0x01, 0x00}, 0, 0, 4096);
    a[8] = 0;
    EXPECT_TRUE(Decode(a).empty());
    EXPECT_TRUE(Decode(Attr({0x11, 0x01, 0x01, 0x00}, -1, 0, 4096)).empty());
    EXPECT_FALSE(log.Has("Corrupt"));
}

TEST_F(MappingPairs, BadLengths) {
    // Length nibble 0.
    EXPECT_TRUE(Decode(Attr({0x10, 0x05, 0x00}, 0, 0, 4096)).empty());
    EXPECT_TRUE(log.Has("Missing length entry in mapping pairs array.\n"));
    EXPECT_TRUE(log.Has("Invalid length in mapping pairs array.\n"));
    // Negative length.
    EXPECT_TRUE(Decode(Attr({0x11, 0xFF, 0x05, 0x00}, 0, 0, 4096)).empty());
    // Length nibble above 8, with enough bytes for it to be read.
    std::vector<uint8_t> wide(12, 0x01);
    wide[0] = 0x09;
    wide.push_back(0);
    EXPECT_TRUE(Decode(Attr(wide, 0, 0, 4096)).empty());
    // Offset nibble above 8.
    std::vector<uint8_t> far(12, 0x01);
    far[0] = 0x91;
    far.push_back(0);
    EXPECT_TRUE(Decode(Attr(far, 0, 0, 4096)).empty());
}

TEST_F(MappingPairs, NeverReadsPastTheAttribute) {
    // Each pair claims more bytes than are left; the vectors end right there.
    EXPECT_TRUE(Decode(Attr({0x31, 0x01, 0x00}, 0, 0, 4096)).empty());
    EXPECT_TRUE(Decode(Attr({0x44, 0x01}, 0, 0, 4096)).empty());
    EXPECT_TRUE(Decode(Attr({0x88}, 0, 0, 4096)).empty());
    // Mapping pairs offset at or beyond the record length.
    std::vector<uint8_t> a = Attr({0x11, 0x01, 0x01, 0x00}, 0, 0, 4096);
    le::put16(a, 32, static_cast<uint16_t>(a.size()));
    EXPECT_TRUE(Decode(a).empty());
    le::put16(a, 32, 0xFFFF);
    EXPECT_TRUE(Decode(a).empty());
    // A record length beyond what the caller handed over.
    std::vector<uint8_t> b = Attr({0x11, 0x01, 0x01, 0x00}, 0, 0, 4096);
    le::put32(b, 4, static_cast<uint32_t>(b.size() + 8));
    EXPECT_TRUE(Decode(b).empty());
    // A header cut short.
    std::vector<uint8_t> stub(b.begin(), b.begin() + 20);
    EXPECT_TRUE(Decode(stub).empty());
}

TEST_F(MappingPairs, OverflowingValuesAreCorrupt) {
    std::vector<uint8_t> p = {0x81, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F,
                              0x81, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x00};
    EXPECT_TRUE(Decode(Attr(p, 0, 1, 2 * 4096)).empty());
    std::vector<uint8_t> q = {0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F,
                              0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x00};
    EXPECT_TRUE(Decode(Attr(q, 0, 0, 4096)).empty());
}

TEST_F(MappingPairs, RunOfNoClustersDoesNotEndTheRunlist) {
    Runlist rl = Decode(Attr({0x11, 0x02, 0x10, 0x11, 0x00, 0x04, 0x11, 0x01, 0x04, 0x00}, 0, 2, 3 * 4096));
    EXPECT_EQ(rl, (Runlist{{0, 0x10, 2}, {2, 0x18, 1}, {3, LCN_ENOENT, 0}}));
}

TEST_F(MappingPairs, ManyRunsGrowTheRunlist) {
    std::vector<uint8_t> pairs;
    for (int i = 0; i < 600; ++i) pairs.insert(pairs.end(), {0x11, 0x01, 0x02});
    pairs.push_back(0);
    Runlist rl = Decode(Attr(pairs, 0, 599, 600 * 4096));
    ASSERT_EQ(rl.size(), 601u);
    EXPECT_EQ(rl[599], (RunlistElement{599, 1200, 1}));
    EXPECT_EQ(rl[600], (RunlistElement{600, LCN_ENOENT, 0}));
}

TEST(RunlistDump, NamesNegativeValuesAndMarksTheEnd) {
    LogCapture log;
    ntfs_debug_runlist_dump(Runlist{{0, 0x5634, 0x18}, {0x18, LCN_HOLE, 2}, {0x1a, -9, 1}, {0x1b, LCN_ENOENT, 0}});
    std::string t = log.Text();
    EXPECT_NE(t.find("NTFS-fs DEBUG: Dumping runlist (values in hex):\n"), std::string::npos);
    EXPECT_NE(t.find("VCN              LCN               Run length\n"), std::string::npos);
    EXPECT_NE(t.find("0                5634              18              \n"), std::string::npos);
    EXPECT_NE(t.find("18               LCN_HOLE          2               \n"), std::string::npos);
    EXPECT_NE(t.find("1a               LCN_unknown       1               \n"), std::string::npos);
    EXPECT_NE(t.find("1b               LCN_ENOENT        0                (runlist end)\n"), std::string::npos);
    ntfs_debug_runlist_dump(Runlist{});
    EXPECT_TRUE(log.Has("Run list not present.\n"));
}

// Reads through runlists over a memory volume of 1 KiB clusters whose every
// byte holds its cluster number.
class ReadThroughRunlist : public ::testing::Test {
protected:
    void SetUp() override {
        auto bytes = std::make_shared<std::vector<uint8_t>>(64 * 1024);
        for (size_t i = 0; i < bytes->size(); ++i) (*bytes)[i] = static_cast<uint8_t>(i / 1024);
        dev = ImageDevice::OverMemory(bytes);
    }
    int64_t Read(int64_t vcn, int64_t count, const Runlist& rl) {
        buf.assign(static_cast<size_t>(count) * 1024, 0xEE);
        dev->reads.clear();
        return NtfsReadRl(vcn, count, rl, dev.get(), vol.get(), buf);
    }
    uint8_t ClusterAt(size_t i) const { return buf[i * 1024 + 7]; }

    std::unique_ptr<NtfsVolume> vol = Geometry(1024);
    std::unique_ptr<ImageDevice> dev;
    std::vector<uint8_t> buf;
    const Runlist rl{{0, 5, 3}, {3, 10, 2}, {5, LCN_ENOENT, 0}};
};

TEST_F(ReadThroughRunlist, RangeOverTwoRunsIsTwoReads) {
    ASSERT_EQ(Read(1, 3, rl), 0);
    ASSERT_EQ(dev->reads.size(), 2u);
    EXPECT_EQ(dev->reads[0], (std::pair<uint64_t, uint64_t>(12, 4)));  // clusters 6 and 7
    EXPECT_EQ(dev->reads[1], (std::pair<uint64_t, uint64_t>(20, 2)));  // cluster 10
    EXPECT_EQ(ClusterAt(0), 6);
    EXPECT_EQ(ClusterAt(1), 7);
    EXPECT_EQ(ClusterAt(2), 10);
}

TEST_F(ReadThroughRunlist, RangeBeyondTheRunlistFailsAfterReadingWhatIsThere) {
    EXPECT_EQ(Read(0, 6, rl), -1);
    EXPECT_EQ(dev->reads.size(), 2u);
    EXPECT_EQ(ClusterAt(4), 11);
    EXPECT_EQ(ClusterAt(5), 0xEE);
}

TEST_F(ReadThroughRunlist, OutsideTheRunlistReadsNothing) {
    Runlist later{{2, 5, 3}, {5, LCN_ENOENT, 0}};
    EXPECT_EQ(Read(0, 1, later), -1);
    EXPECT_EQ(Read(5, 1, rl), -1);
    EXPECT_EQ(Read(100, 1, rl), -1);
    EXPECT_TRUE(dev->reads.empty());
}

TEST_F(ReadThroughRunlist, HolesAndUnmappedRunsAreRefused) {
    LogCapture log;
    Runlist sparse{{0, 5, 2}, {2, LCN_HOLE, 2}, {4, 8, 1}, {5, LCN_RL_NOT_MAPPED, 3}, {8, LCN_ENOENT, 0}};
    EXPECT_EQ(Read(2, 1, sparse), -1);
    EXPECT_TRUE(dev->reads.empty());
    EXPECT_EQ(Read(0, 4, sparse), -1);
    EXPECT_EQ(dev->reads.size(), 1u);
    EXPECT_EQ(Read(5, 1, sparse), -1);
    EXPECT_EQ(Read(4, 2, sparse), -1);
    EXPECT_TRUE(log.Has("Clusters not on disk"));
    ASSERT_EQ(Read(4, 1, sparse), 0);
    EXPECT_EQ(ClusterAt(0), 8);
    for (auto& r : dev->reads) EXPECT_LT(r.first, 64u * 2);
}

TEST_F(ReadThroughRunlist, BufferMustHoldTheClusters) {
    std::vector<uint8_t> small(2 * 1024);
    EXPECT_EQ(NtfsReadRl(0, 3, rl, dev.get(), vol.get(), small), -1);
    EXPECT_TRUE(dev->reads.empty());
}

// A device that always answers one sector fewer than asked.
class ShortDevice : public IDevice {
public:
    int Open(const std::string&) override { return 0; }
    void Close() override {}
    uint64_t ReadSectors(uint64_t, uint64_t count, void*) override { return count - 1; }
    uint64_t WriteSectors(uint64_t, uint64_t, const void*) override { return 0; }
};

TEST_F(ReadThroughRunlist, ShortDeviceReadFails) {
    LogCapture log;
    ShortDevice shortDev;
    std::vector<uint8_t> b(3 * 1024);
    EXPECT_EQ(NtfsReadRl(0, 3, rl, &shortDev, vol.get(), b), -1);
    EXPECT_TRUE(log.Has("NtfsReadRl(): ParReadSectors failed, Off:10, Len:6 , Ret Len: 5\n"));
    EXPECT_EQ(NtfsReadRl(2, 2, rl, dev.get(), vol.get(), b), 0);
}

}  // namespace
