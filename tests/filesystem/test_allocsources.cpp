// The allocation map read piece by piece from a volume's FAT or $Bitmap
// must free exactly the sectors the flat map filled from the whole record
// freed, on real volumes made by mkfs.fat/mtools and mkntfs/ntfs-3g, whole
// and damaged.
#include "filesystem/allocsources.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "filesystem/fatmount.h"
#include "filesystem/ntfs_mount.h"
#include "filesystem/ntfs_rl.h"
#include "flat_allounitmgr.h"
#include "ntfs_testsupport.h"
#include "testutil.h"

namespace {

using flatmap::FlatAlloUnitMgr;
using Runs = std::vector<std::pair<int64_t, int64_t>>;

// ---- The fills as they were, over the whole record in memory ----

void FlatFillFromFat(FlatAlloUnitMgr& map, const FAT_DBR_BUFF& dbr, const FAT32_FAT_Buffer& fat) {
    const uint64_t dataStart = uint64_t{dbr.GetReservedSectors()} + uint64_t{dbr.GetFatCount()} * dbr.GetSectorsPerFat();
    const uint64_t spc = dbr.GetSectorsPerCluster();
    map.SetUsed(0, static_cast<int64_t>(dataStart));
    if (fat.entryCount() == 0) return;
    uint64_t last = std::min<uint64_t>(fat.highestCluster(), fat.entryCount() - 1);
    const uint64_t units = static_cast<uint64_t>(map.GetUnits());
    if (units <= dataStart) return;
    last = std::min<uint64_t>(last, (units - dataStart) / spc + 2);
    for (uint64_t c = 2; c <= last; ++c)
        if (!fat.IsFree(static_cast<uint32_t>(c)))
            map.SetUsed(static_cast<int64_t>(dataStart + spc * (c - 2)), static_cast<int64_t>(spc));
}

// False when $Bitmap cannot be had (the scan then had no map at all).
bool FlatFillFromNtfs(FlatAlloUnitMgr& map, IDevice* device, const NtfsVolume& v) {
    if (v.clusterSize < SECTOR_SIZE || v.numberOfClusters <= 0) return false;
    const int64_t stored = NtfsBitmapBytes(&v);
    if (stored <= 0) return false;
    const uint64_t needed = (static_cast<uint64_t>(v.numberOfClusters) + 7) / 8;
    const uint64_t useful = std::min<uint64_t>(needed, static_cast<uint64_t>(stored));
    const uint64_t clusters = (useful + v.clusterSize - 1) / v.clusterSize;
    std::vector<uint8_t> buffer(clusters * v.clusterSize);
    if (NtfsReadRl(0, static_cast<int64_t>(clusters), v.bitmapRunlist, device, &v, buffer) != 0) return false;
    map.SetUsedByClusterBitmap(std::span<const uint8_t>(buffer.data(), useful), v.numberOfClusters, 0,
                               v.clusterSize / SECTOR_SIZE);
    return true;
}

template <typename Map>
Runs FreeRuns(Map& m) {
    Runs out;
    // In runs as the raw scan reads them.
    for (const FreeUnitRun& r : m.GetFreeRunList(0, m.GetUnits(), 0x4000)) out.emplace_back(r.start, r.count);
    return out;
}

// A map that keeps one mixed piece in memory, so that a volume of a few
// pieces already reads its pieces again.
std::unique_ptr<CAlloUnitMgr> PieceMap(int64_t units, std::unique_ptr<IAlloUnitSource> source) {
    auto m = std::make_unique<CAlloUnitMgr>(static_cast<int64_t>(CAlloUnitMgr::kPieceBytes));
    if (!source || m->InitFromSource(units, std::move(source)) != 0) return nullptr;
    return m;
}

// ---- FAT32 ----

struct FatCase {
    const char* name;
    int spc;
    int sizeMib;
    const char* damage;  // "", "short-partition", "short-fat"
};

class FatVolumes : public ::testing::TestWithParam<FatCase> {};

TEST_P(FatVolumes, PiecesFreeWhatTheWholeFatFreed) {
    const FatCase& c = GetParam();
    const std::string photos = testutil::PhotosDir();
    if (photos.empty() || !testutil::HaveTool("mkfs.fat") || !testutil::HaveTool("mcopy"))
        GTEST_SKIP() << "photos, dosfstools or mtools missing";
    testutil::TempDir dir;
    const std::string image = dir / "card.img";
    // Photos, a folder, deletions that leave holes, and a file written into
    // them so that its chain is split.
    const std::string m = "MTOOLS_SKIP_CHECK=1 ";
    const std::string at = " -i " + image + "@@1048576 ";
    ASSERT_EQ(testutil::Run("bash " + testutil::ToolsDir() + "/mkfatimage.sh -s " + std::to_string(c.spc) + " " +
                            image + " " + std::to_string(c.sizeMib) + " " + photos + "/IMG_0101.JPG " + photos +
                            "/SCAN0001.PNG " + photos + "/IMG_0102.JPG " + photos + "/PAINT001.BMP >/dev/null && " +
                            m + "mmd" + at + "::/DCIM && " + m + "mcopy" + at + photos + "/IMG_0103.JPG ::/DCIM/ && " +
                            m + "mdel" + at + "::/SCAN0001.PNG ::/PAINT001.BMP && " + m + "mcopy" + at + photos +
                            "/IMG_0104.JPG ::/BIG.JPG"),
              0);
    int64_t units = int64_t{c.sizeMib} * 2048 - 2048;
    if (std::strcmp(c.damage, "short-fat") == 0) {
        // Sectors per FAT cut to 8: the boot record counts far more clusters
        // than the table has entries.
        ASSERT_EQ(testutil::Run("printf '\\x08\\x00\\x00\\x00' | dd of=" + image +
                                " bs=1 seek=$((2048 * 512 + 36)) conv=notrunc status=none"),
                  0);
    }
    if (std::strcmp(c.damage, "short-partition") == 0) units -= units / 3;

    auto device = ntfstest::ImageDevice::OverFile(image, 2048);
    std::unique_ptr<FatVolume> vol = MountFatVol(device.get(), units);
    ASSERT_TRUE(vol);
    FlatAlloUnitMgr flat;
    ASSERT_EQ(flat.InitFree(units), 0);
    FlatFillFromFat(flat, *vol->dbr, *vol->fat);
    auto map = PieceMap(units, MakeFatAllocSource(*vol->dbr, *vol->fat, units));
    ASSERT_TRUE(map);
    const Runs want = FreeRuns(flat);
    EXPECT_GT(want.size(), 1u) << "the volume has no holes to compare";
    EXPECT_EQ(FreeRuns(*map), want);

    // The same with a FAT read a page at a time, as a big volume's is.
    auto pagedDevice = ntfstest::ImageDevice::OverFile(image, 2048);
    std::unique_ptr<FatVolume> paged = MountFatVol(pagedDevice.get(), units, 0);
    ASSERT_TRUE(paged);
    auto pagedMap = PieceMap(units, MakeFatAllocSource(*paged->dbr, *paged->fat, units));
    ASSERT_TRUE(pagedMap);
    EXPECT_EQ(FreeRuns(*pagedMap), want);

    // Filled at once into a map that was all free, as the tools do.
    CAlloUnitMgr once;
    ASSERT_EQ(once.InitFree(units), 0);
    auto source = MakeFatAllocSource(*vol->dbr, *vol->fat, units);
    ASSERT_EQ(once.MarkUsedFrom(*source), 0);
    EXPECT_EQ(FreeRuns(once), want);
}

INSTANTIATE_TEST_SUITE_P(Images, FatVolumes,
                         ::testing::Values(FatCase{"spc1", 1, 40, ""}, FatCase{"spc4", 4, 140, ""},
                                           FatCase{"spc2_short_partition", 2, 80, "short-partition"},
                                           FatCase{"spc1_short_fat", 1, 40, "short-fat"}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- NTFS ----

struct NtfsCase {
    const char* name;
    int cluster;
    int sizeMib;
    const char* damage;  // "", "more-clusters", "hole"
};

class NtfsVolumes : public ::testing::TestWithParam<NtfsCase> {};

TEST_P(NtfsVolumes, WindowsOfTheBitmapFreeWhatTheWholeBitmapFreed) {
    const NtfsCase& c = GetParam();
    const std::string photos = testutil::PhotosDir();
    if (photos.empty() || !ntfstest::HaveNtfsTools()) GTEST_SKIP() << "photos, ntfs-3g or sleuthkit missing";
    const std::string image = ntfstest::CachedImage(
        std::string("allocmap-") + std::to_string(c.cluster),
        "-s " + std::to_string(c.sizeMib) + " -c " + std::to_string(c.cluster) + " {} put " + photos +
            "/IMG_0101.JPG a.jpg put " + photos + "/SCAN0002.PNG b.png frag " + photos + "/IMG_0101.JPG c.jpg");
    ASSERT_FALSE(image.empty());
    const int64_t units = int64_t{c.sizeMib} * 2048;
    auto device = ntfstest::ImageDevice::OverFile(image, 2048);
    std::unique_ptr<NtfsVolume> vol = NtfsMount(device.get(), units);
    ASSERT_TRUE(vol);
    if (std::strcmp(c.damage, "more-clusters") == 0) vol->numberOfClusters *= 9;  // more than $Bitmap describes
    if (std::strcmp(c.damage, "hole") == 0) vol->bitmapRunlist.front().lcn = LCN_HOLE;  // not on disk: unreadable

    FlatAlloUnitMgr flat;
    ASSERT_EQ(flat.InitFree(units), 0);
    const bool had = FlatFillFromNtfs(flat, device.get(), *vol);
    auto map = PieceMap(units, MakeNtfsAllocSource(device.get(), vol.get()));
    ASSERT_EQ(static_cast<bool>(map), had);
    // A window of one cluster: $Bitmap read again and again, in pieces that
    // do not line up with the map's.
    auto small = PieceMap(units, MakeNtfsAllocSource(device.get(), vol.get(), 1));
    ASSERT_EQ(static_cast<bool>(small), had);
    if (std::strcmp(c.damage, "hole") == 0) {
        EXPECT_FALSE(had);
    }
    if (!had) return;
    const Runs want = FreeRuns(flat);
    EXPECT_GT(want.size(), 1u);
    EXPECT_EQ(FreeRuns(*map), want);
    EXPECT_EQ(FreeRuns(*small), want);
}

INSTANTIATE_TEST_SUITE_P(Images, NtfsVolumes,
                         ::testing::Values(NtfsCase{"c512", 512, 40, ""}, NtfsCase{"c4096", 4096, 64, ""},
                                           NtfsCase{"c65536", 65536, 64, ""},
                                           NtfsCase{"c512_more_clusters", 512, 40, "more-clusters"},
                                           NtfsCase{"c4096_hole", 4096, 64, "hole"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SetUnitBits, SetsExactlyTheRangeAcrossWords) {
    std::vector<uint64_t> w(3, 0);
    SetUnitBits(w.data(), 60, 130);
    EXPECT_EQ(w[0], ~uint64_t{0} << 60);
    EXPECT_EQ(w[1], ~uint64_t{0});
    EXPECT_EQ(w[2], 0x3u);
    SetUnitBits(w.data(), 5, 5);
    EXPECT_EQ(w[0], ~uint64_t{0} << 60);
}

}  // namespace
