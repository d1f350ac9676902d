// Damaged images scanned the way the front ends scan them: loaded as disks by
// the disk manager, a partition picked, RecoverPhotos run. Every scan ends
// (CTest's timeout bounds it) with a result and the log line that says what
// was wrong; what can still be recovered is.
//
// The other damaged structures are tested where they are read: the extended
// partition chain (tests/io/test_drive_layout.cpp: loops, records outside the
// disk), FAT chains and directories (tests/volphotorev/test_fat_searchphoto.cpp),
// NTFS records and runlists (tests/filesystem/test_corrupt_images.cpp,
// tests/volphotorev/test_corrupt_images.cpp).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../filesystem/ntfs_testsupport.h"
#include "../io/log_capture.h"
#include "io/diskmgr.h"
#include "io/le.h"
#include "io/platform/platform.h"
#include "io/volmgr.h"
#include "photo_oracle.h"
#include "taskdisk.h"
#include "taskmgr/taskmgr.h"
#include "testutil.h"

namespace {

constexpr uint64_t kStart = 2048;  // first sector of the partition of a partitioned image

class ScanDamagedImage : public ::testing::Test {
protected:
    void SetUp() override {
        photos = testutil::PhotosDir();
        if (photos.empty()) GTEST_SKIP() << "no photos";
        if (!testutil::HaveTool("mkfs.fat") || !testutil::HaveTool("mcopy") || !testutil::HaveTool("sfdisk"))
            GTEST_SKIP() << "no dosfstools, mtools or sfdisk";
        SetPlatform(nullptr);
    }
    void TearDown() override {
        // The machine's own disks are never loaded: the list is emptied while
        // the sources still name only the images.
        CDiskMgr::Instance().ReleaseAllDisk();
        SetDiskSources(false, {});
        CVolMgr::Instance().EnumVols();
        SetDiskSources(true, {});
    }
    // The disk manager with the image as its only disk.
    CDisk* Load(const std::string& image) {
        SetDiskSources(false, {image});
        CDiskMgr& mgr = CDiskMgr::Instance();
        mgr.ReleaseAllDisk();
        mgr.LoadAllDisk();
        EXPECT_EQ(mgr.GetDiskCount(), 1);
        return mgr.GetDiskByIndex(0);
    }
    std::vector<PhotoItem*> Items(PhotoOrigin origin) {
        std::vector<PhotoItem*> out;
        for (int c = 0; c < kPhotoCategoryCount; ++c) {
            int n = mgr.GetPhotoItems(c, -1, -1, nullptr);
            std::vector<PhotoItem*> items(static_cast<size_t>(n));
            if (n > 0) mgr.GetPhotoItems(c, 0, n, items.data());
            for (PhotoItem* item : items)
                if (item->origin == origin) out.push_back(item);
        }
        return out;
    }
    std::vector<std::string> Names(PhotoOrigin origin) {
        std::vector<std::string> names;
        for (PhotoItem* item : Items(origin)) names.emplace_back(item->name.begin(), item->name.end());
        return names;
    }
    // The bytes the raw scan's photos read back as.
    std::vector<std::vector<uint8_t>> RawPhotos(IPartition* part) {
        std::vector<std::vector<uint8_t>> out;
        for (PhotoItem* item : Items(RawScan)) {
            std::vector<uint8_t> buf((item->size + 511) / 512 * 512 + 32768);
            if (mgr.ReadPhotoData(item, part, buf.data(), static_cast<uint32_t>(buf.size())) != 0) continue;
            buf.resize(item->size);
            out.push_back(std::move(buf));
        }
        return out;
    }
    std::vector<uint8_t> Photo(const std::string& name) { return testutil::ReadFileBytes(photos + "/" + name); }
    static bool Has(const std::vector<std::string>& names, const std::string& name) {
        return std::find(names.begin(), names.end(), name) != names.end();
    }

    std::string photos;
    testutil::TempDir dir;
    CTaskMgr mgr;
    taskdisk::RecordingSink sink;
};

// A card image cut off at 6 MiB while its table still describes 40 MiB: the
// table is refused, and the whole disk is raw-scanned for what is left.
TEST_F(ScanDamagedImage, TruncatedCardImage) {
    std::string image = dir / "card.img";
    ASSERT_EQ(testutil::Run("bash " + testutil::ToolsDir() + "/mkfatimage.sh " + image + " 40 " + photos +
                            "/IMG_0101.JPG " + photos + "/SCAN0003.PNG " + photos + "/IMG_0001.JPG >/dev/null"),
              0);
    ASSERT_EQ(testutil::Run("truncate -s 6M " + image), 0);
    LogCapture log;
    CDisk* disk = Load(image);
    ASSERT_TRUE(disk);
    EXPECT_TRUE(disk->GetState() & DISKSTATE_BAD_DPT);
    ASSERT_EQ(disk->LoadPartition(), 1);
    CPartition* whole = disk->GetPartition(0);
    EXPECT_EQ(whole->GetFs(), FS_WHOLE_DISK);
    EXPECT_EQ(whole->GetLen(), 6u * 2048);
    EXPECT_NE(log.Text().find("Dpt loadpartition() failed. \n"), std::string::npos) << log.Text();

    EXPECT_EQ(mgr.RecoverPhotos(whole, &sink), 0);
    auto raw = RawPhotos(whole);
    EXPECT_TRUE(oracle::CameBack(Photo("IMG_0101.JPG"), raw));
    EXPECT_TRUE(oracle::CameBack(Photo("SCAN0003.PNG"), raw));
}

// A FAT32 volume without a partition table (a "superfloppy") cut off in its
// data area: the boot record counts sectors the disk no longer has, whose
// clusters are left out of the walk; what lies before the cut is found.
TEST_F(ScanDamagedImage, TruncatedVolumeWithoutPartitionTable) {
    std::string image = dir / "floppy.img";
    const std::string i = " -i " + image + " ";
    ASSERT_EQ(testutil::Run("set -e; export MTOOLS_SKIP_CHECK=1; truncate -s 40M " + image +
                            "; mkfs.fat -F 32 -s 1 --invariant " + image + " >/dev/null; mcopy" + i + photos +
                            "/IMG_0101.JPG ::/; mcopy" + i + photos + "/IMG_0001.JPG ::/; mcopy" + i + photos +
                            "/IMG_0105.JPG ::/"),
              0);
    // IMG_0101 lies in the first 2 MiB, IMG_0001 runs to about 9.7 MiB, IMG_0105 after it.
    ASSERT_EQ(testutil::Run("truncate -s 9M " + image), 0);
    LogCapture log;
    CDisk* disk = Load(image);
    ASSERT_TRUE(disk);
    ASSERT_EQ(disk->LoadPartition(), 1);
    CPartition* volume = disk->GetPartition(0);
    ASSERT_EQ(volume->GetFs(), FS_FAT32);
    EXPECT_EQ(volume->GetLen(), 9u * 2048);

    EXPECT_EQ(mgr.RecoverPhotos(volume, &sink), 0);
    EXPECT_NE(log.Text().find("FAT32 boot record counts 81920 sectors but the partition has 18432; clusters past its "
                              "end are left out. \n"),
              std::string::npos)
        << log.Text();
    auto listed = Names(FileSystem);
    EXPECT_TRUE(Has(listed, "IMG_0101.JPG"));
    EXPECT_FALSE(Has(listed, "IMG_0001.JPG"));  // its chain runs past the cut
    EXPECT_FALSE(Has(listed, "IMG_0105.JPG"));  // wholly past it
    EXPECT_NE(log.Text().find("Invalid Fat32 File, Start Sector: "), std::string::npos);
}

// $Bitmap's data says it holds 1 byte: only the first 8 clusters have a
// bit. The walk still lists the photos, and the clusters past the bitmap
// count as free, so the raw scan finds the photos there too.
TEST_F(ScanDamagedImage, BitmapShorterThanTheClusterCount) {
    if (!ntfstest::HaveNtfsTools()) GTEST_SKIP() << "mkntfs, ntfscp or sleuthkit missing";
    std::string cached = ntfstest::CachedImage(
        "corrupt", "-s 8 -c 4096 {} put " + ntfstest::Quote(photos + "/IMG_0104.JPG") + " IMG_0104.JPG put " +
                       ntfstest::Quote(photos + "/SCAN0004.PNG") + " SCAN0004.PNG");
    ASSERT_FALSE(cached.empty());
    std::vector<uint8_t> bytes = testutil::ReadFileBytes(cached);
    const size_t part = kStart * 512;
    ASSERT_GT(bytes.size(), part + 512);
    // Record 6 of the MFT, which mkntfs makes one run from the boot sector's LCN.
    const uint64_t cluster = le::u8(bytes, part + 13) * uint64_t{512};
    const uint64_t mftLcn = le::u64(bytes, part + 48);
    std::span<uint8_t> rec(bytes.data() + part + mftLcn * cluster + 6 * 1024, 1024);
    ASSERT_EQ(std::string(rec.begin(), rec.begin() + 4), "FILE");
    size_t data = le::u16(rec, 0x14);
    while (le::u32(rec, data) != 0x80) {
        ASSERT_GT(le::u32(rec, data + 4), 0u);
        data += le::u32(rec, data + 4);
        ASSERT_LT(data + 0x40, 510u);  // clear of the update-sequence positions
    }
    le::put32(rec, data + 0x30, 1);  // data size
    le::put32(rec, data + 0x34, 0);
    le::put32(rec, data + 0x38, 1);  // initialized size
    le::put32(rec, data + 0x3C, 0);
    std::string image = dir / "ntfs.img";
    ASSERT_TRUE(testutil::WriteFileBytes(image, bytes));

    LogCapture log;
    CDisk* disk = Load(image);
    ASSERT_TRUE(disk);
    CPartition* volume = disk->FindPartition(1);
    ASSERT_TRUE(volume);
    ASSERT_EQ(volume->GetFs(), FS_NTFS);
    EXPECT_EQ(mgr.RecoverPhotos(volume, &sink), 0);
    EXPECT_NE(log.Text().find("$Bitmap holds 1 bytes, fewer than the "), std::string::npos) << log.Text();
    EXPECT_NE(log.Text().find("clusters past it are scanned as free \n"), std::string::npos);
    auto listed = Names(FileSystem);
    EXPECT_TRUE(Has(listed, "IMG_0104.JPG"));
    EXPECT_TRUE(Has(listed, "SCAN0004.PNG"));
    EXPECT_TRUE(oracle::CameBack(Photo("IMG_0104.JPG"), RawPhotos(volume)));
}

}  // namespace
