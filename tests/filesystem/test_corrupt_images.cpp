// Damaged NTFS volumes against the mount: each one ends in a refusal with the
// log line that names the damage, never in a crash or an endless read. Real
// volumes made by mkntfs, damaged in memory.
//
// Covered elsewhere and not repeated here: a FAT32 boot record with 0 sectors
// per cluster (test_fatmount.cpp: ZeroSectorsPerClusterOnDiskIsRejected), a
// FAT32 boot record counting more sectors than its partition
// (ClustersPastThePartitionsEndAreLeftOut), random damage to NTFS system
// records (test_ntfs_mount.cpp: RandomDamageIsSurvived).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "filesystem/ntfs_bootsect.h"
#include "filesystem/ntfs_filerecord.h"
#include "filesystem/ntfs_mount.h"
#include "io/le.h"
#include "ntfs_testsupport.h"

namespace {

using ntfstest::ImageDevice;
using ntfstest::LogCapture;

constexpr uint64_t kStart = 2048;  // the partition's first sector in the image

// An 8 MiB volume of 4 KiB clusters, as bytes in memory.
class DamagedNtfsVolume : public ::testing::Test {
protected:
    void SetUp() override {
        if (!ntfstest::HaveNtfsTools()) GTEST_SKIP() << "mkntfs or sfdisk missing";
        std::string image = ntfstest::CachedImage("corrupt-mount", "-s 8 -c 4096 {}");
        ASSERT_FALSE(image.empty());
        std::vector<uint8_t> disk = testutil::ReadFileBytes(image);
        ASSERT_GT(disk.size(), kStart * 512);
        bytes = std::make_shared<std::vector<uint8_t>>(disk.begin() + kStart * 512, disk.end());
        auto vol = Mount();
        ASSERT_TRUE(vol);
        mirror = static_cast<size_t>(vol->mftMirrLcn) * vol->clusterSize;
        recordSize = vol->mftRecordSize;
    }
    std::unique_ptr<NtfsVolume> Mount() {
        auto dev = ImageDevice::OverMemory(bytes);
        return NtfsMount(dev.get(), static_cast<int64_t>(bytes->size() / 512));
    }
    // Record 0 as the mount reads it: from the mirror.
    std::span<uint8_t> MirrorRecord0() { return std::span<uint8_t>(*bytes).subspan(mirror, recordSize); }

    std::shared_ptr<std::vector<uint8_t>> bytes;
    size_t mirror = 0;
    uint32_t recordSize = 0;
};

TEST_F(DamagedNtfsVolume, BootSectorWithZeroSectorsPerCluster) {
    (*bytes)[NTFS_BS_SECTORS_PER_CLUSTER] = 0;
    LogCapture log;
    EXPECT_FALSE(Mount());
    EXPECT_TRUE(log.Has("sectors_per_cluster is not a power of 2.\n")) << log.Text();
    EXPECT_TRUE(log.Has("Invalid volume"));
}

// The first attribute of $MFT's record claims 0 bytes, then 0xFFFFFFFF: the
// attribute walk ends there, without the $DATA and $BITMAP the mount needs.
TEST_F(DamagedNtfsVolume, MftRecordWithAttributeLengthZeroOrAllOnes) {
    std::span<uint8_t> rec = MirrorRecord0();
    size_t first = le::u16(rec, NTFS_REC_ATTRS_OFFSET);
    ASSERT_LT(first + 8, 510u);  // clear of the update-sequence positions
    for (uint32_t length : {0u, 0xFFFFFFFFu}) {
        le::put32(rec, first + NTFS_ATTR_LENGTH, length);
        LogCapture log;
        EXPECT_FALSE(Mount()) << length;
        EXPECT_TRUE(log.Has("Find Mft Data and Bitmap Attr failed. \n")) << length << "\n" << log.Text();
    }
}

// The volume ends before its MFT mirror, as a partition copied only in part:
// record 0 is not there to be read.
TEST_F(DamagedNtfsVolume, TruncatedBeforeTheMirror) {
    bytes->resize(mirror);
    LogCapture log;
    EXPECT_FALSE(Mount());
    EXPECT_TRUE(log.Has("Read Mft Record failed. \n")) << log.Text();
}

}  // namespace
