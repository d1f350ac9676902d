#include <gtest/gtest.h>

#include <cstring>
#include <algorithm>
#include <map>
#include <set>
#include <regex>

#include "../io/log_capture.h"
#include "../photoformats/formats_testsupport.h"
#include "photo_oracle.h"
#include "taskdisk.h"
#include "taskmgr/recoverphoto_task.h"
#include "taskmgr/taskmgr.h"
#include "testutil.h"

using taskdisk::RecordingSink;

namespace {

// A FAT32 boot record with the given geometry (only the fields the fill reads).
std::unique_ptr<FAT32_DBR_Buff> Dbr(uint16_t reserved, uint8_t fats, uint32_t fatSectors, uint8_t spc) {
    uint8_t raw[512] = {};
    raw[11] = 0x00;
    raw[12] = 0x02;
    raw[13] = spc;
    raw[14] = static_cast<uint8_t>(reserved);
    raw[15] = static_cast<uint8_t>(reserved >> 8);
    raw[16] = fats;
    std::memcpy(raw + 36, &fatSectors, 4);
    auto dbr = std::make_unique<FAT32_DBR_Buff>();
    dbr->Load(raw);
    return dbr;
}

TEST(FillFromFat, MarksSystemAreaAndUsedClustersOnly) {
    // 32 reserved sectors, 2 FATs of 1 sector (128 entries), 4 sectors per cluster.
    auto dbr = Dbr(32, 2, 1, 4);
    auto table = std::make_unique<uint8_t[]>(512);
    std::memset(table.get(), 0, 512);
    auto put = [&](uint32_t c, uint32_t v) { std::memcpy(table.get() + 4 * c, &v, 4); };
    put(2, 0x0FFFFFFF);  // root directory
    put(5, 6);
    put(6, 0x0FFFFFF8);
    put(9, 0xF0000000);  // only reserved top bits: free
    put(10, 0x0FFFFFF7);  // bad cluster: not free
    FAT32_FAT_Buffer fat;
    fat.Attach(std::move(table), 1, 127);

    CAlloUnitMgr map;
    ASSERT_EQ(map.InitFree(34 + 4 * 200), 0);
    ASSERT_EQ(CRecoverPhotoTask::FillFromFat(map, *dbr, fat), 0);
    EXPECT_TRUE(map.IsUsed(0, 34));            // reserved sectors and both FATs
    EXPECT_TRUE(map.IsUsed(34, 4));            // cluster 2
    EXPECT_TRUE(map.IsFree(38, 8));            // clusters 3 and 4
    EXPECT_TRUE(map.IsUsed(34 + 4 * 3, 8));    // clusters 5 and 6
    EXPECT_TRUE(map.IsFree(34 + 4 * 7, 4));    // cluster 9
    EXPECT_TRUE(map.IsUsed(34 + 4 * 8, 4));    // cluster 10
    // Clusters past the 128 entries of the table are never looked at.
    EXPECT_TRUE(map.IsFree(34 + 4 * 126, 4 * 74));
}

TEST(FillFromFat, ClaimedClustersBeyondTheTableStayFree) {
    // A FAT of one sector whose every entry is used, while the boot record's
    // totals claim far more clusters than the table holds.
    auto dbr = Dbr(8, 1, 1, 1);
    auto table = std::make_unique<uint8_t[]>(512);
    std::memset(table.get(), 0xFF, 512);
    FAT32_FAT_Buffer fat;
    fat.Attach(std::move(table), 1, 100000);
    EXPECT_LE(fat.highestCluster(), 127u);

    CAlloUnitMgr map;
    ASSERT_EQ(map.InitFree(10000), 0);
    ASSERT_EQ(CRecoverPhotoTask::FillFromFat(map, *dbr, fat), 0);
    EXPECT_TRUE(map.IsUsed(0, 9 + 126));  // system area and clusters 2..127
    EXPECT_TRUE(map.IsFree(9 + 126, 10000 - 9 - 126));
}

TEST(FillFromBitmap, FollowsTheBitsAndStopsAtTheBufferEnd) {
    // Two bytes of bitmap while the volume claims 1000 clusters: bits past
    // the buffer are never read (ASan watches the exact-size allocation).
    auto bitmap = std::make_unique<uint8_t[]>(2);
    bitmap[0] = 0x09;  // clusters 0 and 3
    bitmap[1] = 0x80;  // cluster 15
    CAlloUnitMgr map;
    ASSERT_EQ(map.InitFree(8 * 1000), 0);
    CRecoverPhotoTask::FillFromBitmap(map, bitmap.get(), 2, 1000, 8);
    EXPECT_TRUE(map.IsUsed(0, 8));
    EXPECT_TRUE(map.IsFree(8, 16));
    EXPECT_TRUE(map.IsUsed(24, 8));
    EXPECT_TRUE(map.IsFree(32, 88));
    EXPECT_TRUE(map.IsUsed(120, 8));
    EXPECT_TRUE(map.IsFree(128, 8000 - 128));

    // Fewer clusters than bits: the spare bits are ignored.
    CAlloUnitMgr small;
    ASSERT_EQ(small.InitFree(8 * 4), 0);
    bitmap[0] = 0xFF;
    CRecoverPhotoTask::FillFromBitmap(small, bitmap.get(), 2, 2, 8);
    EXPECT_TRUE(small.IsUsed(0, 16));
    EXPECT_TRUE(small.IsFree(16, 16));
}

// The real photos and a card made of them: live photos, deleted photos.
class Fat32Card : public ::testing::Test {
protected:
    void SetUp() override { Make("-F 32 -s 1", FS_FAT32); }
    // `options`: mkfatimage.sh's FAT width and cluster size.
    void Make(const std::string& options, int fs) {
        photos = testutil::PhotosDir();
        if (photos.empty()) GTEST_SKIP() << "no photos";
        if (!testutil::HaveTool("mkfs.fat") || !testutil::HaveTool("mcopy")) GTEST_SKIP() << "no dosfstools/mtools";
        image = dir / "card.img";
        const std::string files = photos + "/IMG_0101.JPG " + photos + "/IMG_0103.JPG " + photos +
                                  "/SCAN0003.PNG " + photos + "/ANIM0002.GIF " + photos + "/PAINT002.BMP";
        ASSERT_EQ(testutil::Run("bash " + testutil::ToolsDir() + "/mkfatimage.sh " + options + " " + image + " 40 " + files +
                                " >/dev/null"),
                  0);
        ASSERT_EQ(testutil::Run("MTOOLS_SKIP_CHECK=1 mdel -i " + image + "@@1048576 ::/IMG_0103.JPG ::/PAINT002.BMP"),
                  0);
        disk = taskdisk::ImageDisk(image);
        ASSERT_TRUE(disk.disk);
        part = disk.AddPartition(2048, 40 * 2048 - 2048, fs);
    }

    std::string photos;
    testutil::TempDir dir;
    std::string image;
    taskdisk::TestDisk disk;
    CPartition* part = nullptr;
};

std::vector<PhotoItem*> AllItems(ITaskMgr& mgr) {
    std::vector<PhotoItem*> all;
    for (int c = 0; c < kPhotoCategoryCount; ++c) {
        const int n = mgr.GetPhotoItems(c, -1, -1, nullptr);
        std::vector<PhotoItem*> items(static_cast<size_t>(n));
        if (n > 0) mgr.GetPhotoItems(c, 0, n, items.data());
        all.insert(all.end(), items.begin(), items.end());
    }
    return all;
}

std::vector<uint8_t> ReadBack(ITaskMgr& mgr, PhotoItem* item, IPartition* part) {
    std::vector<uint8_t> buf(((item->size + 511) / 512) * 512 + 32768);
    if (mgr.ReadPhotoData(item, part, buf.data(), static_cast<uint32_t>(buf.size())) != 0) return {};
    buf.resize(item->size);
    return buf;
}

// The same card as FAT32, FAT16 and FAT12.
class FatCard : public Fat32Card, public ::testing::WithParamInterface<int> {
protected:
    void SetUp() override {
        const int bits = GetParam();
        Make(bits == 32 ? "-F 32 -s 1" : bits == 16 ? "-F 16 -s 4" : "-F 12 -s 32",
             bits == 32 ? FS_FAT32 : bits == 16 ? FS_FAT16 : FS_FAT12);
    }
};

TEST_P(FatCard, WalkThenRawScanWithTheEventSequence) {
    CTaskMgr mgr;
    RecordingSink sink;
    ASSERT_EQ(mgr.RecoverPhotos(part, &sink), 0);
    ASSERT_FALSE(sink.events.empty());
    EXPECT_EQ(sink.events.front().code, INIT_TASK_COUNT);
    EXPECT_EQ(sink.events.front().value, 2);
    const std::vector<uint32_t> frame = {INIT_TASK_COUNT,       CURRENT_TASK_START,    INIT_CURRENT_PROGRESS,
                                         CURRENT_TASK_FINISHED, FREE_SECTORS_KNOWN,    CURRENT_TASK_START,
                                         INIT_CURRENT_PROGRESS, CURRENT_TASK_FINISHED, ALL_TASKS_FINISHED};
    EXPECT_EQ(sink.Frame(), frame);
    // The free space the file system keeps, as mtools counts it.
    const std::string listing = testutil::Capture("MTOOLS_SKIP_CHECK=1 mdir -i " + image + "@@1048576 ::/");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(listing, m, std::regex(R"(([0-9 ]+) bytes free)"))) << listing;
    std::string digits = m[1].str();
    digits.erase(std::remove(digits.begin(), digits.end(), ' '), digits.end());
    EXPECT_EQ(sink.freeSectors * 512, std::stoll(digits));

    const std::vector<PhotoItem*> items = AllItems(mgr);
    EXPECT_EQ(sink.Photos(), static_cast<int>(items.size()));
    std::vector<std::vector<uint8_t>> raw;
    std::map<std::u16string, PhotoItem*> live;
    for (PhotoItem* item : items) {
        if (item->origin == FileSystem) live[item->name] = item;
        else raw.push_back(ReadBack(mgr, item, part));
    }
    // Every live photo, by its name, byte for byte; never again by the raw scan.
    for (const char* name : {"IMG_0101.JPG", "SCAN0003.PNG", "ANIM0002.GIF"}) {
        const std::u16string u(name, name + std::strlen(name));
        ASSERT_TRUE(live.count(u)) << name;
        EXPECT_EQ(ReadBack(mgr, live[u], part), testutil::ReadFileBytes(photos + "/" + name)) << name;
        EXPECT_FALSE(oracle::CameBack(testutil::ReadFileBytes(photos + "/" + name), raw)) << name;
    }
    EXPECT_EQ(live.size(), 3u);
    // The deleted ones from their entries, the first character inferred
    // from a live name of the same pattern or lost ("_").
    std::set<std::u16string> undeleted;
    for (PhotoItem* item : items)
        if (item->origin == DeletedRecord) undeleted.insert(item->name);
    EXPECT_EQ(undeleted, (std::set<std::u16string>{u"IMG_0103.JPG", u"_AINT002.BMP"}));
    // Every deleted photo that still lies whole on the card.
    const auto imageBytes = testutil::ReadFileBytes(image);
    const auto expected = oracle::RawRecoverable(imageBytes, 2048 * 512, part->GetLen() * 512,
                                                 {photos + "/IMG_0103.JPG", photos + "/PAINT002.BMP"});
    EXPECT_FALSE(expected.empty());
    for (const std::string& p : expected) EXPECT_TRUE(oracle::CameBack(testutil::ReadFileBytes(p), raw)) << p;
}

INSTANTIATE_TEST_SUITE_P(Widths, FatCard, ::testing::Values(32, 16, 12),
                         [](const auto& info) { return "Fat" + std::to_string(info.param); });

TEST_F(Fat32Card, StopBeforeTheStartEndsEachStepAtOnce) {
    CTaskMgr mgr;
    RecordingSink sink;
    sink.stopAt = 0;
    EXPECT_LT(mgr.RecoverPhotos(part, &sink), 0);
    const std::vector<uint32_t> frame = {INIT_TASK_COUNT, CURRENT_TASK_START, CURRENT_TASK_START, ALL_TASKS_FINISHED};
    EXPECT_EQ(sink.Frame(), frame);
    EXPECT_EQ(mgr.GetPhotoItems(Jpg, -1, -1, nullptr), 0);
}

TEST_F(Fat32Card, StopAfterAPhotoKeepsWhatWasStored) {
    CTaskMgr mgr;
    RecordingSink sink;
    sink.stopAfterPhoto = true;
    EXPECT_LT(mgr.RecoverPhotos(part, &sink), 0);
    EXPECT_GE(sink.Photos(), 1);
    EXPECT_EQ(static_cast<int>(AllItems(mgr).size()), sink.Photos());
    // Neither step finished; the raw scan was refused at its start.
    const auto frame = sink.Frame();
    EXPECT_EQ(std::count(frame.begin(), frame.end(), CURRENT_TASK_FINISHED), 0);
    EXPECT_EQ(std::count(frame.begin(), frame.end(), CURRENT_TASK_START), 2);
    EXPECT_EQ(frame.back(), ALL_TASKS_FINISHED);
}

TEST_F(Fat32Card, UnmountableVolumeIsRawScannedWhole) {
    // Told FAT32, but the partition starts one sector late: no boot record.
    CPartition* wrong = disk.AddPartition(2049, part->GetLen() - 1, FS_FAT32, 2);
    CTaskMgr mgr;
    RecordingSink sink;
    ASSERT_EQ(mgr.RecoverPhotos(wrong, &sink), 0);
    EXPECT_EQ(sink.events.front().value, 2);
    const std::vector<uint32_t> frame = {INIT_TASK_COUNT, CURRENT_TASK_START, INIT_CURRENT_PROGRESS,
                                         CURRENT_TASK_FINISHED, ALL_TASKS_FINISHED};
    EXPECT_EQ(sink.Frame(), frame);
    // Live photos now come from the raw scan too.
    std::vector<std::vector<uint8_t>> raw;
    for (PhotoItem* item : AllItems(mgr)) {
        EXPECT_EQ(item->origin, RawScan);
        raw.push_back(ReadBack(mgr, item, wrong));
    }
    EXPECT_TRUE(oracle::CameBack(testutil::ReadFileBytes(photos + "/IMG_0101.JPG"), raw));
}

// An exFAT card made through exfat-fuse: live photos, one deleted photo whose
// entry set survives and one deleted photo whose entry set was taken by a
// later file (only the raw scan can find that one).
class ExfatCard : public ::testing::Test {
protected:
    void SetUp() override {
        photos = testutil::PhotosDir();
        if (photos.empty()) GTEST_SKIP() << "no photos";
        int status = 0;
        image = testutil::CachedImage(
            "exfat-task", "bash '" + testutil::ToolsDir() + "/mkexfatimage.sh' -c 4096 \"$IMAGE\" 24 \"mkdir DCIM; cp '" +
                              photos + "/IMG_0101.JPG' '" + photos + "/SCAN0003.PNG' DCIM/; cp '" + photos +
                              "/IMG_0103.JPG' DCIM/gone.jpg; cp '" + photos + "/ANIM0002.GIF' DCIM/kept.gif; " +
                              "rm DCIM/gone.jpg DCIM/kept.gif; cp '" + photos + "/IMG_0104.JPG' DCIM/new.jpg\" >/dev/null",
            &status);
        if (status == 77) GTEST_SKIP() << "no loop device or FUSE here";
        ASSERT_FALSE(image.empty());
        disk = taskdisk::ImageDisk(image);
        ASSERT_TRUE(disk.disk);
        part = disk.AddPartition(2048, 24 * 2048 - 2048, FS_EXFAT);
    }

    std::string photos, image;
    taskdisk::TestDisk disk;
    CPartition* part = nullptr;
};

TEST_F(ExfatCard, WalkThenRawScanOfTheFreeClusters) {
    CTaskMgr mgr;
    RecordingSink sink;
    ASSERT_EQ(mgr.RecoverPhotos(part, &sink), 0);
    EXPECT_EQ(sink.events.front().value, 2);
    const std::vector<uint32_t> frame = {INIT_TASK_COUNT,       CURRENT_TASK_START, INIT_CURRENT_PROGRESS,
                                         CURRENT_TASK_FINISHED, FREE_SECTORS_KNOWN, CURRENT_TASK_START,
                                         INIT_CURRENT_PROGRESS, CURRENT_TASK_FINISHED, ALL_TASKS_FINISHED};
    EXPECT_EQ(sink.Frame(), frame);
    // The free clusters exfatprogs counts in the bitmap (4096-byte clusters):
    // the deleted photo the walk took back is kept from the raw scan, but its
    // clusters are still the file system's free space.
    const testutil::TempDir tmp;
    const std::string dump = testutil::Capture("dd if='" + image + "' of='" + (tmp / "volume.img") +
                                               "' bs=512 skip=2048 status=none && dump.exfat '" +
                                               (tmp / "volume.img") + "' 2>&1");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(dump, m, std::regex(R"(Free Clusters:\s+([0-9]+))"))) << dump;
    EXPECT_EQ(sink.freeSectors, std::stoll(m[1].str()) * 8);

    std::map<std::u16string, PhotoItem*> named;
    std::vector<std::vector<uint8_t>> raw;
    for (PhotoItem* item : AllItems(mgr)) {
        if (item->origin == RawScan) raw.push_back(ReadBack(mgr, item, part));
        else named[item->name] = item;
    }
    const std::map<std::u16string, std::pair<PhotoOrigin, std::string>> want = {
        {u"IMG_0101.JPG", {FileSystem, "IMG_0101.JPG"}}, {u"SCAN0003.PNG", {FileSystem, "SCAN0003.PNG"}},
        {u"new.jpg", {FileSystem, "IMG_0104.JPG"}},      {u"kept.gif", {DeletedRecord, "ANIM0002.GIF"}},
    };
    ASSERT_EQ(named.size(), want.size());
    for (const auto& [name, w] : want) {
        ASSERT_TRUE(named.count(name));
        EXPECT_EQ(named[name]->origin, w.first);
        const auto bytes = testutil::ReadFileBytes(photos + "/" + w.second);
        EXPECT_EQ(ReadBack(mgr, named[name], part), bytes);
        // Found under its name, never a second time by the raw scan.
        EXPECT_FALSE(oracle::CameBack(bytes, raw));
    }
}

// Types left out are left out of the walk too, live and deleted alike, and
// the scan counts only what it keeps.
TEST_F(ExfatCard, TheWalkKeepsOnlyTheChosenTypes) {
    CTaskMgr mgr;
    PhotoChoice choice;
    choice.categories = (1u << Png) | (1u << Gif);
    mgr.SetPhotoChoice(choice);
    RecordingSink sink;
    ASSERT_EQ(mgr.RecoverPhotos(part, &sink), 0);
    const std::vector<PhotoItem*> items = AllItems(mgr);
    EXPECT_EQ(sink.Photos(), static_cast<int>(items.size()));
    std::map<std::u16string, PhotoOrigin> named;
    for (PhotoItem* item : items) {
        EXPECT_TRUE(choice.categories >> item->category & 1u) << item->category;
        if (item->origin != RawScan) named[item->name] = item->origin;
    }
    const std::map<std::u16string, PhotoOrigin> want = {{u"SCAN0003.PNG", FileSystem}, {u"kept.gif", DeletedRecord}};
    EXPECT_EQ(named, want);
}

TEST_F(ExfatCard, DamagedBootRegionsAreRawScannedWholeWithALogLine) {
    testutil::TempDir dir;
    const std::string copy = dir / "damaged.img";
    ASSERT_EQ(testutil::Run("cp '" + image + "' '" + copy + "' && printf 'XXXX' | dd of='" + copy +
                            "' bs=1 seek=$((2048 * 512 + 100)) conv=notrunc status=none && printf 'XXXX' | dd of='" +
                            copy + "' bs=1 seek=$(((2048 + 12) * 512 + 100)) conv=notrunc status=none"),
              0);
    taskdisk::TestDisk d = taskdisk::ImageDisk(copy);
    ASSERT_TRUE(d.disk);
    CPartition* p = d.AddPartition(2048, part->GetLen(), FS_EXFAT);
    LogCapture log;
    CTaskMgr mgr;
    RecordingSink sink;
    ASSERT_EQ(mgr.RecoverPhotos(p, &sink), 0);
    const std::vector<uint32_t> frame = {INIT_TASK_COUNT, CURRENT_TASK_START, INIT_CURRENT_PROGRESS,
                                         CURRENT_TASK_FINISHED, ALL_TASKS_FINISHED};
    EXPECT_EQ(sink.Frame(), frame);
    EXPECT_NE(log.Text().find("exFAT volume cannot be read; the whole partition is scanned raw"), std::string::npos)
        << log.Text();
    std::vector<std::vector<uint8_t>> raw;
    for (PhotoItem* item : AllItems(mgr)) {
        EXPECT_EQ(item->origin, RawScan);
        raw.push_back(ReadBack(mgr, item, p));
    }
    EXPECT_TRUE(oracle::CameBack(testutil::ReadFileBytes(photos + "/IMG_0101.JPG"), raw));
}

TEST(RecoverPhotoTask, NtfsWalkThenRawScanOfFreeClusters) {
    const std::string photos = testutil::PhotosDir();
    if (photos.empty()) GTEST_SKIP() << "no photos";
    if (!testutil::HaveTool("mkntfs") || !testutil::HaveTool("ntfscp")) GTEST_SKIP() << "no ntfs-3g tools";
    testutil::TempDir dir;
    const std::string part = dir / "part.img";
    const std::string mk = "mkntfs -F -Q -q -c 4096 " + part + " >/dev/null 2>&1";
    ASSERT_EQ(testutil::Run("truncate -s 24M " + part + " && " + mk), 0);
    // Photos of an earlier file system, then a quick format and a live one
    // (which takes the place of the first).
    for (const char* old : {"IMG_0103.JPG", "IMG_0105.JPG"})
        ASSERT_EQ(testutil::Run("ntfscp -q " + part + " " + photos + "/" + old + " " + old + " >/dev/null 2>&1"), 0);
    ASSERT_EQ(testutil::Run(mk), 0);
    ASSERT_EQ(testutil::Run("ntfscp -q " + part + " " + photos + "/IMG_0104.JPG live.jpg >/dev/null 2>&1"), 0);

    auto d = taskdisk::ImageDisk(part);
    ASSERT_TRUE(d.disk);
    CPartition* p = d.AddPartition(0, 24 * 2048, FS_NTFS);
    CTaskMgr mgr;
    RecordingSink sink;
    ASSERT_EQ(mgr.RecoverPhotos(p, &sink), 0);
    EXPECT_EQ(sink.events.front().value, 2);
    const std::vector<uint32_t> frame = {INIT_TASK_COUNT,       CURRENT_TASK_START,    INIT_CURRENT_PROGRESS,
                                         CURRENT_TASK_FINISHED, FREE_SECTORS_KNOWN,    CURRENT_TASK_START,
                                         INIT_CURRENT_PROGRESS, CURRENT_TASK_FINISHED, ALL_TASKS_FINISHED};
    EXPECT_EQ(sink.Frame(), frame);
    // The free clusters of $Bitmap, as ntfs-3g counts them.
    if (testutil::HaveTool("ntfsinfo")) {
        const std::string info = testutil::Capture("ntfsinfo -m " + part + " 2>/dev/null");
        std::smatch m;
        ASSERT_TRUE(std::regex_search(info, m, std::regex(R"(Free Clusters:\s*([0-9]+))"))) << info;
        EXPECT_EQ(sink.freeSectors, std::stoll(m[1].str()) * 8);  // 4096-byte clusters
    }
    int live = 0;
    std::vector<std::vector<uint8_t>> raw;
    for (PhotoItem* item : AllItems(mgr)) {
        if (item->origin == FileSystem) {
            ++live;
            EXPECT_EQ(item->name, u"live.jpg");
            EXPECT_EQ(ReadBack(mgr, item, p), testutil::ReadFileBytes(photos + "/IMG_0104.JPG"));
        } else {
            raw.push_back(ReadBack(mgr, item, p));
        }
    }
    EXPECT_EQ(live, 1);
    // The live photo's clusters are used, so the raw scan does not find it again.
    EXPECT_FALSE(oracle::CameBack(testutil::ReadFileBytes(photos + "/IMG_0104.JPG"), raw));
    const auto expected = oracle::RawRecoverable(testutil::ReadFileBytes(part), 0, 24ull << 20,
                                                 {photos + "/IMG_0103.JPG", photos + "/IMG_0105.JPG"});
    EXPECT_FALSE(expected.empty());
    for (const std::string& e : expected) EXPECT_TRUE(oracle::CameBack(testutil::ReadFileBytes(e), raw)) << e;
}

// Every type a camera or phone writes, lost on a real volume and carved
// whole from its free space: the files are written by mtools or ntfscp, then
// taken away from the file system, which leaves their bytes where they were
// (a quick format on FAT32, ntfstruncate on NTFS). A few stay listed.
struct LostPhoto {
    const char* name;  // in tools/formats.sh's folder
    PhotoCategory category;
    const char* extension;  // of the carved photo's name
    bool live;
};
constexpr LostPhoto kLostPhotos[] = {
    {"camera.cr2", Raw, "cr2", false},   {"camera.nef", Raw, "nef", true},     {"camera.arw", Raw, "arw", false},
    {"camera.dng", Raw, "dng", false},   {"camera.pef", Raw, "pef", false},    {"camera.orf", Raw, "orf", false},
    {"camera.rw2", Raw, "rw2", false},   {"camera.raf", Raw, "raf", false},    {"camera.cr3", Raw, "cr3", false},
    {"photo.heic", Heic, "heic", false}, {"photo.avif", Heic, "avif", false},  {"strips-le.tif", Tiff, "tif", false},
    {"strips-be.tif", Tiff, "tif", true}, {"tiles-le.tif", Tiff, "tif", false}, {"tiles-be.tif", Tiff, "tif", false},
    {"pages.tif", Tiff, "tif", false},   {"lossy.webp", WebP, "webp", false},  {"lossless.webp", WebP, "webp", false},
    {"alpha.webp", WebP, "webp", false},
};

// Builds the volume once per test run; null when it cannot be made here.
struct LostVolume {
    int fs;
    std::string image;
    uint64_t start = 0, sectors = 0;
};

const LostVolume* MakeLostVolume(int fs) {
    static testutil::TempDir dir;
    static std::map<int, LostVolume> made;
    if (auto it = made.find(fs); it != made.end()) return it->second.image.empty() ? nullptr : &it->second;
    LostVolume& v = made[fs];
    v.fs = fs;
    const std::string formats = fmtest::FormatsDir();
    if (formats.empty()) return nullptr;
    // Noise ahead of the photos: the live ones written later take its place.
    const std::string filler = dir / "FILLER.BIN";
    if (testutil::Run("head -c 1500000 /dev/urandom > " + filler) != 0) return nullptr;
    std::string all = filler, live;
    for (const LostPhoto& p : kLostPhotos) {
        all += " " + formats + "/" + p.name;
        if (p.live) live += " " + formats + "/" + p.name;
    }
    const std::string image = dir / (fs == FS_FAT32 ? "fat.img" : "ntfs.img");
    if (fs == FS_FAT32) {
        if (!testutil::HaveTool("mkfs.fat") || !testutil::HaveTool("mcopy")) return nullptr;
        const std::string mtools = "MTOOLS_SKIP_CHECK=1 mcopy -Q -i " + image + "@@1048576 ";
        if (testutil::Run("bash " + testutil::ToolsDir() + "/mkfatimage.sh " + image + " 40 " + all + " >/dev/null") != 0 ||
            testutil::Run("mkfs.fat -F 32 -s 1 -h 2048 --invariant --offset=2048 " + image + " " +
                          std::to_string((40 * 2048 - 2048) / 2) + " >/dev/null") != 0 ||
            testutil::Run(mtools + live + " ::/") != 0)
            return nullptr;
        v.start = 2048;
        v.sectors = 40 * 2048 - 2048;
    } else {
        if (!testutil::HaveTool("ntfscp") || !testutil::HaveTool("ifind")) return nullptr;
        std::string actions = "put " + filler + " FILLER.BIN";
        for (const LostPhoto& p : kLostPhotos) actions += " put " + formats + "/" + p.name + " " + p.name;
        for (const LostPhoto& p : kLostPhotos)
            if (!p.live) actions += " trunc " + std::string(p.name) + " 0";
        if (testutil::Run("bash " + testutil::ToolsDir() + "/mkntfsimage.sh -s 24 " + image + " " + actions +
                          " >/dev/null") != 0)
            return nullptr;
        v.start = 2048;
        v.sectors = 24 * 2048;
    }
    v.image = image;
    return &v;
}

class LostNewTypes : public ::testing::TestWithParam<int> {};

TEST_P(LostNewTypes, CarvedWholeFromFreeSpace) {
    const LostVolume* v = MakeLostVolume(GetParam());
    if (!v) GTEST_SKIP() << "no photos or no tools";
    const std::string formats = fmtest::FormatsDir();
    auto d = taskdisk::ImageDisk(v->image);
    ASSERT_TRUE(d.disk);
    CPartition* part = d.AddPartition(v->start, v->sectors, v->fs);

    // Everything, then only RAW and HEIC: fewer types never change what the
    // chosen ones give back, and the scan counts only the photos it keeps.
    const uint32_t rawAndHeic = (1u << Raw) | (1u << Heic);
    for (uint32_t chosen : {(1u << kPhotoCategoryCount) - 1, rawAndHeic}) {
        SCOPED_TRACE(chosen);
        CTaskMgr mgr;
        PhotoChoice choice;
        choice.categories = chosen;
        mgr.SetPhotoChoice(choice);
        RecordingSink sink;
        ASSERT_EQ(mgr.RecoverPhotos(part, &sink), 0);
        const std::vector<PhotoItem*> items = AllItems(mgr);
        EXPECT_EQ(sink.Photos(), static_cast<int>(items.size()));

        std::map<std::string, int> carved, listed;
        for (PhotoItem* item : items) {
            EXPECT_TRUE(chosen >> item->category & 1u) << item->category;
            const std::vector<uint8_t> bytes = ReadBack(mgr, item, part);
            const LostPhoto* match = nullptr;
            for (const LostPhoto& p : kLostPhotos)
                if (bytes == testutil::ReadFileBytes(formats + "/" + p.name)) match = &p;
            ASSERT_NE(match, nullptr) << "a photo that is none of them, " << item->size << " bytes";
            EXPECT_EQ(item->category, match->category) << match->name;
            if (item->origin == FileSystem) {
                EXPECT_TRUE(match->live) << match->name;
                ++listed[match->name];
                continue;
            }
            ++carved[match->name];
            const std::string ext = "." + std::string(match->extension);
            EXPECT_TRUE(item->name.size() > ext.size() &&
                        item->name.compare(item->name.size() - ext.size(), ext.size(),
                                           std::u16string(ext.begin(), ext.end())) == 0)
                << match->name;
        }
        for (const LostPhoto& p : kLostPhotos) {
            if (!(chosen >> p.category & 1u)) continue;
            // On FAT32 the live ones were lost in the format too: their old
            // copies are carved besides. On NTFS they never left.
            const int wantCarved = p.live && v->fs == FS_NTFS ? 0 : 1;
            EXPECT_EQ(carved[p.name], wantCarved) << p.name;
            EXPECT_EQ(listed[p.name], p.live ? 1 : 0) << p.name;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Volumes, LostNewTypes, ::testing::Values(FS_FAT32, FS_NTFS),
                         [](const auto& info) { return info.param == FS_FAT32 ? "Fat32" : "Ntfs"; });

TEST(RecoverPhotoTask, OtherFileSystemsGetOneStep) {
    for (int fs : {FS_UNKNOWN, FS_UNALLOCATED, FS_WHOLE_DISK}) {
        auto d = taskdisk::MemoryDisk(2048);
        CPartition* p = d.AddPartition(0, 2048, fs);
        CTaskMgr mgr;
        RecordingSink sink;
        ASSERT_EQ(mgr.RecoverPhotos(p, &sink), 0) << fs;
        EXPECT_EQ(sink.events.front().value, 1) << fs;
        const std::vector<uint32_t> frame = {INIT_TASK_COUNT, CURRENT_TASK_START, INIT_CURRENT_PROGRESS,
                                             CURRENT_TASK_FINISHED, ALL_TASKS_FINISHED};
        EXPECT_EQ(sink.Frame(), frame) << fs;
    }
}

// A long run of unreadable sectors makes the scan say once that the drive
// seems to be failing; a few scattered bad sectors do not. The scan goes on
// either way.
TEST(RecoverPhotoTask, SaysWhenTheDriveSeemsToFail) {
    const struct {
        std::vector<std::pair<uint64_t, uint64_t>> unreadable;
        int failing;
    } cases[] = {
        {{{2000, 100}}, 1},
        {{{100, 1}, {3000, 1}, {5000, 2}}, 0},
        {{}, 0},
    };
    for (const auto& c : cases) {
        auto d = taskdisk::MemoryDisk(8192);
        FaultPlan plan;
        plan.unreadable = c.unreadable;
        static_cast<CMemoryHandle*>(d.disk->m_handle.get())->SetFaults(plan);
        CPartition* p = d.AddPartition(0, 8192, FS_UNKNOWN);
        CTaskMgr mgr;
        RecordingSink sink;
        ASSERT_EQ(mgr.RecoverPhotos(p, &sink), 0);
        int failing = 0;
        for (const auto& e : sink.events) failing += e.code == DRIVE_FAILING ? 1 : 0;
        EXPECT_EQ(failing, c.failing) << c.unreadable.size();
        EXPECT_EQ(sink.events.back().code, ALL_TASKS_FINISHED);
    }
}

TEST(RecoverPhotoTask, NoEventsWithoutADevice) {
    CDisk disk;  // never opened
    CPartition p(&disk);
    CTaskMgr mgr;
    RecordingSink sink;
    EXPECT_EQ(mgr.RecoverPhotos(&p, &sink), -1);
    EXPECT_TRUE(sink.events.empty());
}

}  // namespace
