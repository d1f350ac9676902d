#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>

#include "filesystem/ntfs_bootsect.h"
#include "filesystem/ntfs_filerecord.h"
#include "filesystem/ntfs_mount.h"
#include "io/le.h"
#include "ntfs_testsupport.h"

namespace {

using ntfstest::ImageDevice;
using ntfstest::LogCapture;
using testutil::TempDir;

constexpr uint64_t kStart = 2048;  // partition's first sector in the images

// A boot sector: 512-byte sectors, 8 per cluster, 0x10000 sectors.
std::vector<uint8_t> BootSector() {
    std::vector<uint8_t> b(512);
    std::memcpy(b.data() + 3, "NTFS    ", 8);
    le::put16(b, NTFS_BS_BYTES_PER_SECTOR, 512);
    b[NTFS_BS_SECTORS_PER_CLUSTER] = 8;
    le::put32(b, NTFS_BS_NUMBER_OF_SECTORS, 0x10000);
    le::put32(b, NTFS_BS_MFT_LCN, 4);
    le::put32(b, NTFS_BS_MFTMIRR_LCN, 0x1000);
    b[NTFS_BS_CLUSTERS_PER_MFT_RECORD] = 0xF6;
    b[NTFS_BS_CLUSTERS_PER_INDX_RECORD] = 1;
    return b;
}

void Put64(std::vector<uint8_t>& b, size_t off, int64_t v) {
    le::put32(b, off, static_cast<uint32_t>(v));
    le::put32(b, off + 4, static_cast<uint32_t>(static_cast<uint64_t>(v) >> 32));
}

TEST(BootSector, Geometry) {
    LogCapture log;
    NtfsVolume vol;
    ASSERT_EQ(ntfs_boot_sector_parse(BootSector(), &vol), 0);
    EXPECT_EQ(vol.sectorSize, 512);
    EXPECT_EQ(vol.sectorSizeBits, 9);
    EXPECT_EQ(vol.clusterSize, 4096u);
    EXPECT_EQ(vol.clusterSizeBits, 12);
    EXPECT_EQ(vol.numberOfClusters, 0x2000);
    EXPECT_EQ(vol.mftRecordSize, 1024u);
    EXPECT_EQ(vol.mftRecordSizeBits, 10);
    EXPECT_EQ(vol.indxRecordSize, 4096u);
    EXPECT_EQ(vol.mftLcn, 4);
    EXPECT_EQ(vol.mftMirrLcn, 0x1000);
    EXPECT_EQ(vol.mftMirrSize, 4u);
    std::string t = log.Text();
    const char* order[] = {"SectorSize = 0x200\n", "SectorSizeBits = 9\n", "NumberOfSectors = 65536\n",
                           "SectorsPerCluster = 0x8\n", "MFT LCN = 0x4\n", "MFTMirr LCN = 0x1000\n",
                           "ClusterSize = 0x1000\n", "ClusterSizeBits = 12\n", "ClustersPerMftRecord = 0xf6\n",
                           "MftRecordSize = 0x400\n", "MftRecordSizeBits = 10\n", "ClustersPerINDXRecord = 0x1\n",
                           "INDXRecordSize = 0x1000\n", "INDXRecordSizeBits = 12\n"};
    size_t at = 0;
    for (const char* line : order) {
        size_t found = t.find(line, at);
        ASSERT_NE(found, std::string::npos) << line;
        at = found;
    }
}

TEST(BootSector, RecordSizes) {
    NtfsVolume vol;
    std::vector<uint8_t> b = BootSector();
    b[NTFS_BS_CLUSTERS_PER_MFT_RECORD] = 1;
    ASSERT_EQ(ntfs_boot_sector_parse(b, &vol), 0);
    EXPECT_EQ(vol.mftRecordSize, 4096u);
    // Index records need no power of two: 3 clusters, lowest set bit 12.
    b[NTFS_BS_CLUSTERS_PER_INDX_RECORD] = 3;
    ASSERT_EQ(ntfs_boot_sector_parse(b, &vol), 0);
    EXPECT_EQ(vol.indxRecordSize, 12288u);
    EXPECT_EQ(vol.indxRecordSizeBits, 12);
    // A shift too wide for 32 bits is not taken.
    b[NTFS_BS_CLUSTERS_PER_INDX_RECORD] = 0x80;
    ASSERT_EQ(ntfs_boot_sector_parse(b, &vol), 0);
    EXPECT_EQ(vol.indxRecordSize, 0u);

    LogCapture log;
    b[NTFS_BS_CLUSTERS_PER_MFT_RECORD] = 3;
    EXPECT_EQ(ntfs_boot_sector_parse(b, &vol), -1);
    EXPECT_TRUE(log.Has("Error: vol->dev->d_name is not a valid NTFS partition! mft_record_size is not a power of 2.\n"));
    for (uint8_t c : {0x00, 0x80, 0xE1, 0xF8, 0xEF, 0x20}) {  // 0, 2^128, 2^31, 256, 128 KiB, 128 MiB
        b[NTFS_BS_CLUSTERS_PER_MFT_RECORD] = c;
        EXPECT_EQ(ntfs_boot_sector_parse(b, &vol), -1) << int(c);
    }
}

TEST(BootSector, MftPositionAgainstTheClusterCount) {
    NtfsVolume vol;
    std::vector<uint8_t> b = BootSector();
    Put64(b, NTFS_BS_MFT_LCN, 0x2000);  // equal to the number of clusters
    EXPECT_EQ(ntfs_boot_sector_parse(b, &vol), 0);
    LogCapture log;
    Put64(b, NTFS_BS_MFT_LCN, 0x2001);
    EXPECT_EQ(ntfs_boot_sector_parse(b, &vol), -1);
    EXPECT_TRUE(log.Has("Error: vol->dev->d_name is not a valid NTFS partition!\n"));
    EXPECT_TRUE(log.Has("($Mft LCN or $MftMirr LCN is greater than the number of clusters!)\n"));
    Put64(b, NTFS_BS_MFT_LCN, 4);
    Put64(b, NTFS_BS_MFTMIRR_LCN, -1);
    EXPECT_EQ(ntfs_boot_sector_parse(b, &vol), -1);
    Put64(b, NTFS_BS_MFTMIRR_LCN, 8);
    Put64(b, NTFS_BS_NUMBER_OF_SECTORS, -0x10000);
    EXPECT_EQ(ntfs_boot_sector_parse(b, &vol), -1);
}

TEST(BootSector, SectorAndClusterSizes) {
    NtfsVolume vol;
    LogCapture log;
    std::vector<uint8_t> b = BootSector();
    b[NTFS_BS_SECTORS_PER_CLUSTER] = 3;
    EXPECT_EQ(ntfs_boot_sector_parse(b, &vol), -1);
    EXPECT_TRUE(log.Has("Error: volume is not a valid NTFS partition! sectors_per_cluster is not a power of 2.\n"));
    b[NTFS_BS_SECTORS_PER_CLUSTER] = 0;  // a cluster of no bytes
    EXPECT_EQ(ntfs_boot_sector_parse(b, &vol), -1);
    b[NTFS_BS_SECTORS_PER_CLUSTER] = 128;
    Put64(b, NTFS_BS_MFTMIRR_LCN, 8);
    EXPECT_EQ(ntfs_boot_sector_parse(b, &vol), 0);
    EXPECT_EQ(vol.clusterSize, 65536u);
    for (uint16_t size : {0, 256, 513, 8192}) {
        le::put16(b, NTFS_BS_BYTES_PER_SECTOR, size);
        EXPECT_EQ(ntfs_boot_sector_parse(b, &vol), -1) << size;
    }
    le::put16(b, NTFS_BS_BYTES_PER_SECTOR, 4096);
    b[NTFS_BS_SECTORS_PER_CLUSTER] = 1;
    b[NTFS_BS_CLUSTERS_PER_MFT_RECORD] = 1;
    ASSERT_EQ(ntfs_boot_sector_parse(b, &vol), 0);
    EXPECT_EQ(vol.sectorSizeBits, 12);
    EXPECT_EQ(vol.mftRecordSize, 4096u);
}

// Clusters of a runlist one by one (-1 for each cluster not on disk).
std::vector<int64_t> Clusters(const Runlist& rl) {
    std::vector<int64_t> out;
    for (const RunlistElement& e : rl) {
        if (e.length == 0) break;
        for (int64_t i = 0; i < e.length; ++i) out.push_back(e.lcn < 0 ? -1 : e.lcn + i);
    }
    return out;
}

// istat lists clusters past the initialized size, and sparse ones, as 0.
void ExpectSameClusters(const std::vector<int64_t>& ours, const std::vector<int64_t>& tsk) {
    ASSERT_EQ(ours.size(), tsk.size());
    for (size_t i = 0; i < ours.size(); ++i) {
        if (tsk[i] == 0) continue;
        EXPECT_EQ(ours[i], tsk[i]) << "cluster " << i;
    }
}

class MountRealVolume : public ::testing::TestWithParam<int> {
protected:
    // One image per cluster size, built once; every test works on a copy.
    void SetUp() override {
        if (!ntfstest::HaveNtfsTools()) GTEST_SKIP() << "mkntfs, ntfscp, sfdisk or sleuthkit missing";
        std::string built =
            ntfstest::CachedImage("mount-" + std::to_string(GetParam()), "-s 24 -c " + std::to_string(GetParam()) + " {}");
        ASSERT_FALSE(built.empty());
        image = dir / "disk.img";
        ASSERT_EQ(testutil::Run("cp --sparse=always " + built + " " + image), 0);
    }
    std::unique_ptr<NtfsVolume> Mount(int64_t partitionSectors = kSectors) {
        dev = ImageDevice::OverFile(image, kStart);
        return NtfsMount(dev.get(), partitionSectors);
    }
    // Rewrites bytes of the partition in the image.
    void Patch(int64_t partitionByte, const std::vector<uint8_t>& bytes) {
        std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(kStart * 512 + partitionByte));
        f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        ASSERT_TRUE(f.good());
    }
    uint8_t ByteAt(int64_t partitionByte) {
        std::ifstream f(image, std::ios::binary);
        f.seekg(static_cast<std::streamoff>(kStart * 512 + partitionByte));
        return static_cast<uint8_t>(f.get());
    }
    static constexpr int64_t kSectors = 24 * 2048;
    TempDir dir;
    std::string image;
    std::unique_ptr<ImageDevice> dev;
};

TEST_P(MountRealVolume, AgreesWithSleuthkit) {
    auto vol = Mount();
    ASSERT_TRUE(vol);
    EXPECT_EQ(vol->majorVersion, 3);
    EXPECT_EQ(vol->minorVersion, 1);
    auto fs = ntfstest::Fsstat(image, kStart);
    EXPECT_EQ(std::to_string(vol->clusterSize), fs["Cluster Size"]);
    EXPECT_EQ(std::to_string(vol->sectorSize), fs["Sector Size"]);
    EXPECT_EQ(std::to_string(vol->mftLcn), fs["First Cluster of MFT"]);
    EXPECT_EQ(std::to_string(vol->mftMirrLcn), fs["First Cluster of MFT Mirror"]);
    EXPECT_EQ(std::to_string(vol->mftRecordSize) + " bytes", fs["Size of MFT Entries"]);
    EXPECT_EQ("0 - " + std::to_string(vol->numberOfClusters - 1), fs["Total Cluster Range"]);
    EXPECT_EQ(vol->numberOfSectors, kSectors - 1);  // mkntfs keeps the last sector for the backup boot sector

    ExpectSameClusters(Clusters(vol->mftRunlist), ntfstest::Istat(image, kStart, 0).clusters);
    ExpectSameClusters(Clusters(vol->mftMirrRunlist), ntfstest::Istat(image, kStart, 1).clusters);
    ntfstest::TskFile bitmap = ntfstest::Istat(image, kStart, 6);
    ExpectSameClusters(Clusters(vol->bitmapRunlist), bitmap.clusters);
    EXPECT_EQ(NtfsBitmapBytes(vol.get()), bitmap.size);
    EXPECT_EQ(vol->bitmapRunlist.back().lcn, LCN_ENOENT);
    EXPECT_FALSE(vol->mftBitmapRunlist.empty());

    // The cluster bitmap read through its runlist is the one sleuthkit reads.
    std::vector<uint8_t> bits(static_cast<size_t>(vol->bitmapRunlist.back().vcn) * vol->clusterSize);
    ASSERT_EQ(NtfsReadRl(0, vol->bitmapRunlist.back().vcn, vol->bitmapRunlist, dev.get(), vol.get(), bits), 0);
    std::string tsk = testutil::Capture("icat -o " + std::to_string(kStart) + " " + image + " 6");
    ASSERT_EQ(static_cast<int64_t>(tsk.size()), NtfsBitmapBytes(vol.get()));
    EXPECT_EQ(std::memcmp(bits.data(), tsk.data(), tsk.size()), 0);
    for (auto& r : dev->reads) EXPECT_LT(r.first + r.second, static_cast<uint64_t>(kSectors) + 1);
    NtfsUnmount(std::move(vol));
}

TEST_P(MountRealVolume, BootSectorLengthIsCappedByThePartition) {
    auto vol = Mount(kSectors - 1);
    ASSERT_TRUE(vol);
    EXPECT_EQ(vol->numberOfSectors, kSectors - 1);
    vol = Mount(kSectors - 100);
    ASSERT_TRUE(vol);
    EXPECT_EQ(vol->numberOfSectors, kSectors - 101);
    EXPECT_EQ(vol->numberOfClusters, (kSectors - 101) / (vol->clusterSize / 512));
}

TEST_P(MountRealVolume, DamagedMftCopyOfRecordZeroStillMounts) {
    auto vol = Mount();
    ASSERT_TRUE(vol);
    int64_t mftByte = vol->mftLcn * vol->clusterSize;
    int64_t mirrByte = vol->mftMirrLcn * vol->clusterSize;
    dev.reset();
    Patch(mftByte, std::vector<uint8_t>(vol->mftRecordSize, 0xA5));
    vol = Mount();
    ASSERT_TRUE(vol);
    // Record 0 in $MFT really is gone.
    EXPECT_TRUE(NtfsReadRecordFromMft(dev.get(), vol->mftRunlist, vol.get(), 0).empty());
    EXPECT_EQ(vol->mftRunlist[0].lcn, vol->mftLcn);

    // Without the mirror's copy there is nothing to mount from.
    LogCapture log;
    dev.reset();
    Patch(mirrByte, std::vector<uint8_t>(4, 0));
    EXPECT_FALSE(Mount());
    EXPECT_TRUE(log.Has("Corrupt File Head, Mft No: 0 \n"));
    EXPECT_TRUE(log.Has("Read Mft Record failed. \n"));
}

TEST_P(MountRealVolume, MftElsewhereThanTheBootSectorSaysIsRefused) {
    auto vol = Mount();
    ASSERT_TRUE(vol);
    std::vector<uint8_t> lcn(8);
    Put64(lcn, 0, vol->mftLcn + 1);
    dev.reset();
    Patch(NTFS_BS_MFT_LCN, lcn);
    LogCapture log;
    EXPECT_FALSE(Mount());
    EXPECT_TRUE(log.Has("ntfs_mapping_pairs_decompress failed. \n"));
}

TEST_P(MountRealVolume, DamagedSystemRecordsAreReported) {
    auto vol = Mount();
    ASSERT_TRUE(vol);
    int64_t recordByte = vol->mftLcn * vol->clusterSize + 6 * vol->mftRecordSize;
    dev.reset();
    // A torn write: the second block's tail no longer matches.
    Patch(recordByte + 1022, {static_cast<uint8_t>(ByteAt(recordByte + 1022) ^ 0xFF)});
    LogCapture log;
    EXPECT_FALSE(Mount());
    EXPECT_TRUE(log.Has("NtfsMount(): ntfs_mst_post_read_fixup Bitmap failed. \n"));
    dev.reset();
    Patch(vol->mftLcn * vol->clusterSize + vol->mftRecordSize, {'X'});
    EXPECT_FALSE(Mount());
    EXPECT_TRUE(log.Has("NtfsMount(): NtfsReadRecordFromMft failed, Mft: 1 \n"));
    dev.reset();
    Patch(0, std::vector<uint8_t>(512, 0));
    EXPECT_FALSE(Mount());
    EXPECT_TRUE(log.Has("Invalid volume"));
}

INSTANTIATE_TEST_SUITE_P(ClusterSizes, MountRealVolume, ::testing::Values(512, 4096, 65536));

// Random damage to the records and runs the mount reads ends in a refusal
// or a volume, never in a crash or a read outside the buffers (run this
// under the sanitizers).
TEST(MountCorruptVolume, RandomDamageIsSurvived) {
    if (!ntfstest::HaveNtfsTools()) GTEST_SKIP() << "mkntfs or sfdisk missing";
    std::string image = ntfstest::CachedImage("mount-damage", "-s 8 -c 1024 {}");
    ASSERT_FALSE(image.empty());
    std::vector<uint8_t> disk = ntfstest::ReadAll(image);
    auto part = std::make_shared<std::vector<uint8_t>>(disk.begin() + kStart * 512, disk.end());
    const std::vector<uint8_t> clean = *part;

    auto probe = ImageDevice::OverMemory(part);
    auto vol = NtfsMount(probe.get(), static_cast<int64_t>(part->size() / 512));
    ASSERT_TRUE(vol);
    // Records 0 to 7 in the mirror and in $MFT, and the boot sector.
    std::vector<std::pair<size_t, size_t>> areas = {
        {static_cast<size_t>(vol->mftMirrLcn) * vol->clusterSize, 4 * vol->mftRecordSize},
        {static_cast<size_t>(vol->mftLcn) * vol->clusterSize, 8 * vol->mftRecordSize},
        {0, 512}};
    std::mt19937 rng(1234);
    int mounted = 0;
    for (int round = 0; round < 600; ++round) {
        auto [start, len] = areas[round % areas.size()];
        std::copy(clean.begin() + start, clean.begin() + start + len, part->begin() + start);
        if (round > 0) {
            auto [ps, pl] = areas[(round - 1) % areas.size()];
            std::copy(clean.begin() + ps, clean.begin() + ps + pl, part->begin() + ps);
        }
        int flips = 1 + static_cast<int>(rng() % 8);
        for (int i = 0; i < flips; ++i) (*part)[start + rng() % len] = static_cast<uint8_t>(rng());
        auto dev = ImageDevice::OverMemory(part);
        auto v = NtfsMount(dev.get(), static_cast<int64_t>(part->size() / 512));
        if (v) ++mounted;
        for (auto& r : dev->reads) EXPECT_LE(r.second, 2048u);  // bounded by record and cluster sizes
    }
    EXPECT_GT(mounted, 0);  // damage to unused bytes is harmless
}

}  // namespace
