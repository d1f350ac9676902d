#include <gtest/gtest.h>

#include <cstring>

#include "io/diskmgr.h"
#include "taskdisk.h"
#include "taskmgr/taskmgr.h"
#include "testutil.h"

using taskdisk::MemoryDisk;
using taskdisk::RecordingSink;

namespace {

// A memory disk whose sector s holds the byte (s & 0xFF) throughout, with one
// partition from sector 100.
struct ReadFixture {
    taskdisk::TestDisk disk = MemoryDisk(1000);
    CPartition* part = nullptr;
    ReadFixture() {
        for (size_t s = 0; s < 1000; ++s) std::memset(disk.bytes->data() + s * 512, static_cast<int>(s & 0xFF), 512);
        part = disk.AddPartition(100, 800, FS_UNKNOWN);
    }
};

PhotoItem Item(std::vector<PhotoRun> runs, uint32_t size) {
    PhotoItem item;
    item.name = u"x.jpg";
    runs.push_back({0, -3, 0});
    item.runs = std::move(runs);
    item.size = size;
    return item;
}

TEST(ReadPhotoData, PlacesEachRunAtItsFileSector) {
    ReadFixture f;
    CTaskMgr mgr;
    // Two runs given out of order: file sectors 2-3 come from volume sector
    // 50, file sectors 0-1 from volume sector 10.
    PhotoItem item = Item({{2, 50, 2}, {0, 10, 2}}, 2048);
    std::vector<uint8_t> buf(2048, 0xEE);
    ASSERT_EQ(mgr.ReadPhotoData(&item, f.part, buf.data(), static_cast<uint32_t>(buf.size())), 0);
    EXPECT_EQ(buf[0], 110);
    EXPECT_EQ(buf[512], 111);
    EXPECT_EQ(buf[1024], 150);
    EXPECT_EQ(buf[2047], 151);
}

TEST(ReadPhotoData, HolesReadAsZeros) {
    ReadFixture f;
    CTaskMgr mgr;
    PhotoItem item = Item({{0, 10, 1}, {1, -1, 2}, {3, 20, 1}}, 2048);
    std::vector<uint8_t> buf(2048, 0xEE);
    ASSERT_EQ(mgr.ReadPhotoData(&item, f.part, buf.data(), 2048), 0);
    EXPECT_EQ(buf[0], 110);
    for (size_t i = 512; i < 1536; ++i) ASSERT_EQ(buf[i], 0) << i;
    EXPECT_EQ(buf[1536], 120);
}

TEST(ReadPhotoData, RefusesRunsPastTheBufferAndWritesNothing) {
    ReadFixture f;
    CTaskMgr mgr;
    std::vector<uint8_t> buf(4096, 0xEE);
    // The second run ends 512 bytes past the 2048 bytes offered.
    PhotoItem tooLong = Item({{0, 10, 2}, {2, 30, 3}}, 2048);
    EXPECT_EQ(mgr.ReadPhotoData(&tooLong, f.part, buf.data(), 2048), -1);
    // Not even the first run was read: the buffer is as it was.
    for (uint8_t b : buf) ASSERT_EQ(b, 0xEE);

    // Sizes that only overflow would make fit.
    PhotoItem huge = Item({{INT64_MAX / 256, 10, 2}}, 512);
    EXPECT_EQ(mgr.ReadPhotoData(&huge, f.part, buf.data(), 4096), -1);
    PhotoItem wide = Item({{1, 10, INT64_MAX}}, 512);
    EXPECT_EQ(mgr.ReadPhotoData(&wide, f.part, buf.data(), 4096), -1);
    PhotoItem negative = Item({{-1, 10, 1}}, 512);
    EXPECT_EQ(mgr.ReadPhotoData(&negative, f.part, buf.data(), 4096), -1);
    PhotoItem negativeCount = Item({{0, 10, -4}}, 512);
    EXPECT_EQ(mgr.ReadPhotoData(&negativeCount, f.part, buf.data(), 4096), -1);
    for (uint8_t b : buf) ASSERT_EQ(b, 0xEE);
}

TEST(ReadPhotoData, RunThatEndsExactlyAtTheBufferEndIsRead) {
    ReadFixture f;
    CTaskMgr mgr;
    auto buf = std::make_unique<uint8_t[]>(1024);  // exact size, so ASan sees any overrun
    PhotoItem item = Item({{1, 5, 1}}, 1024);
    EXPECT_EQ(mgr.ReadPhotoData(&item, f.part, buf.get(), 1024), 0);
    EXPECT_EQ(buf[1023], 105);
}

TEST(ReadPhotoData, NullArgumentsAndEmptyRunList) {
    ReadFixture f;
    CTaskMgr mgr;
    std::vector<uint8_t> buf(512, 0xEE);
    PhotoItem item = Item({{0, 10, 1}}, 512);
    EXPECT_EQ(mgr.ReadPhotoData(nullptr, f.part, buf.data(), 512), -1);
    EXPECT_EQ(mgr.ReadPhotoData(&item, f.part, nullptr, 512), -1);
    EXPECT_EQ(mgr.ReadPhotoData(&item, nullptr, buf.data(), 512), -1);
    // A run list that ends at once reads nothing and succeeds.
    PhotoItem empty = Item({}, 0);
    EXPECT_EQ(mgr.ReadPhotoData(&empty, f.part, buf.data(), 512), 0);
    // No terminator at all: the list's end stops the reader.
    PhotoItem open;
    open.runs = {{0, 3, 1}};
    EXPECT_EQ(mgr.ReadPhotoData(&open, f.part, buf.data(), 512), 0);
    EXPECT_EQ(buf[0], 103);
    for (uint8_t b : std::vector<uint8_t>(buf.begin() + 1, buf.end())) ASSERT_EQ(b, 103);
}

TEST(TaskManager, AnswersWithoutAStoreAndWithoutTasks) {
    CTaskMgr mgr;
    EXPECT_EQ(mgr.GetPhotoItems(Jpg, -1, -1, nullptr), 0);
    PhotoItem* out[4] = {};
    EXPECT_EQ(mgr.GetPhotoItems(Other, 0, 4, out), 0);
    RecordingSink sink;
    EXPECT_EQ(mgr.RunTasks(&sink), 0);
    EXPECT_TRUE(sink.events.empty());
    // Cloning and wiping are not offered.
    EXPECT_FALSE(mgr.CopyDiskLayout(0, 1, 1));
    EXPECT_EQ(mgr.AddDiskCloneTask(0, 1, 2, 3), -1);
    EXPECT_EQ(mgr.AddDiskWipeTask(0, 1), -1);
    mgr.RemovePendingTask();
    mgr.Clear();
    EXPECT_EQ(mgr.GetPhotoItems(Jpg, -1, -1, nullptr), 0);
}

// A JPEG start in sector `s` of the memory disk.
void PutJpeg(taskdisk::TestDisk& d, size_t s) {
    uint8_t* p = d.bytes->data() + s * 512;
    const uint8_t soi[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00};
    std::memcpy(p, soi, sizeof soi);
    for (size_t i = 0; i < 4 * 512; ++i) p[sizeof soi + i] = static_cast<uint8_t>(i * 7 + 1);
}

TEST(TaskManager, EachScanStartsFromAnEmptyStore) {
    auto d = MemoryDisk(4096);
    PutJpeg(d, 300);
    PutJpeg(d, 3000);
    CPartition* first = d.AddPartition(0, 2048, FS_UNKNOWN, 1);
    CPartition* second = d.AddPartition(2048, 2048, FS_UNKNOWN, 2);
    CTaskMgr mgr;
    RecordingSink s1;
    ASSERT_EQ(mgr.RecoverPhotos(first, &s1), 0);
    ASSERT_EQ(mgr.GetPhotoItems(Jpg, -1, -1, nullptr), 1);
    PhotoItem* item = nullptr;
    ASSERT_EQ(mgr.GetPhotoItems(Jpg, 0, 1, &item), 1);
    EXPECT_EQ(item->runs[0].volumeSector, 300);

    RecordingSink s2;
    ASSERT_EQ(mgr.RecoverPhotos(second, &s2), 0);
    ASSERT_EQ(mgr.GetPhotoItems(Jpg, -1, -1, nullptr), 1);
    ASSERT_EQ(mgr.GetPhotoItems(Jpg, 0, 1, &item), 1);
    EXPECT_EQ(item->runs[0].volumeSector, 3000 - 2048);
    // The photo reads back from the second partition's place on the disk.
    std::vector<uint8_t> buf(item->size + 32768);
    ASSERT_EQ(mgr.ReadPhotoData(item, second, buf.data(), static_cast<uint32_t>(buf.size())), 0);
    EXPECT_EQ(std::memcmp(buf.data(), d.bytes->data() + 3000 * 512, 512), 0);

    mgr.Clear();
    EXPECT_EQ(mgr.GetPhotoItems(Jpg, -1, -1, nullptr), 0);
}

TEST(TaskManager, DisksAndLayoutsComeFromTheDiskManager) {
    // A disk image with two primary partitions, as the only disk.
    testutil::TempDir dir;
    std::vector<uint8_t> bytes(8192 * 512, 0);
    const uint32_t entries[2][2] = {{2048, 2048}, {4096, 4096}};
    for (int i = 0; i < 2; ++i) {
        uint8_t* e = &bytes[446 + 16 * i];
        e[4] = 0x83;
        std::memcpy(e + 8, &entries[i][0], 4);
        std::memcpy(e + 12, &entries[i][1], 4);
    }
    bytes[510] = 0x55;
    bytes[511] = 0xAA;
    ASSERT_TRUE(testutil::WriteFileBytes(dir / "two.img", bytes));
    SetDiskSources(false, {dir / "two.img"});
    CDiskMgr::Instance().ReleaseAllDisk();
    CDiskMgr::Instance().LoadAllDisk();

    CTaskMgr mgr;
    ASSERT_EQ(mgr.GetDiskCount(), 1);
    CDisk* disk = mgr.GetDiskByIndex(0);
    ASSERT_NE(disk, nullptr);
    EXPECT_EQ(mgr.GetDiskByIndex(1), nullptr);
    EXPECT_EQ(mgr.GetDiskByNo(disk->GetDiskNo()), disk);
    EXPECT_EQ(mgr.GetDiskByNo(disk->GetDiskNo() + 100), nullptr);

    const int n = mgr.GetDiskLayout(disk->GetDiskNo(), nullptr, 0);
    ASSERT_EQ(n, disk->LoadPartition());
    std::vector<ParInfor> layout(static_cast<size_t>(n) + 2);
    EXPECT_EQ(mgr.GetDiskLayout(disk->GetDiskNo(), layout.data(), n + 2), n);
    for (int k = 0; k < n; ++k) EXPECT_EQ(layout[k].Off, disk->GetPartition(k)->GetOff()) << k;
    bool sawSecond = false;
    for (int k = 0; k < n; ++k) sawSecond |= layout[k].Off == 4096 && layout[k].Len == 4096;
    EXPECT_TRUE(sawSecond);
    // At most the capacity is copied.
    std::vector<ParInfor> one(1);
    EXPECT_EQ(mgr.GetDiskLayout(disk->GetDiskNo(), one.data(), 1), 1);
    EXPECT_EQ(one[0].Off, layout[0].Off);
    EXPECT_EQ(mgr.GetDiskLayout(disk->GetDiskNo() + 100, nullptr, 0), -1);

    CDiskMgr::Instance().ReleaseAllDisk();
    SetDiskSources(true, {});
}

}  // namespace
