#include <gtest/gtest.h>

#include "fake_platform.h"
#include "image_disks.h"
#include "io/diskmgr.h"
#include "io/volmgr.h"

namespace {

using fake::Primary;

class DiskMgrTest : public ::testing::Test {
protected:
    fake::Platform p;
    fake::Scope scope{p};
    CDiskMgr& mgr = CDiskMgr::Instance();

    DiskMgrTest() { mgr.ReleaseAllDisk(); }
    ~DiskMgrTest() override {
        mgr.ReleaseAllDisk();
        CVolMgr::Instance().EnumVols();
    }

    // A basic MBR disk with one FAT32 partition and a trailing gap.
    fake::Device& Basic(const std::string& path, const std::string& iface = "SCSI") {
        fake::Device& d = p.AddDisk(path, 400000, iface);
        d.layout = {Primary(1, 0x0C, 2048, 200000), fake::EmptySlot(), fake::EmptySlot(), fake::EmptySlot()};
        d.disk->Sector(2048) = fake::BootSector("FAT32");
        return d;
    }
};

TEST_F(DiskMgrTest, DisksThatCannotBeOpenedOrMeasuredAreLeftOut) {
    Basic("/dev/sda");
    Basic("/dev/sdb").denyAll = true;
    Basic("/dev/sdc").geometryFails = true;
    Basic("/dev/mmcblk0", "SD");
    p.disks[3].TotalHeads = 16;
    p.disks[3].MediaType = "Removable Media";
    mgr.LoadAllDisk();

    ASSERT_EQ(mgr.GetDiskCount(), 2);
    CDisk* a = mgr.GetDiskByIndex(0);
    CDisk* card = mgr.GetDiskByIndex(1);
    EXPECT_EQ(mgr.GetDiskByIndex(2), nullptr);
    EXPECT_EQ(mgr.GetDiskByIndex(-1), nullptr);
    EXPECT_EQ(mgr.GetDiskByNo(0), a);
    EXPECT_EQ(mgr.GetDiskByNo(3), card);
    EXPECT_EQ(mgr.GetDiskByNo(1), nullptr);

    EXPECT_EQ(card->GetDevicePath(), "/dev/mmcblk0");
    EXPECT_EQ(card->GetDevName(), "/dev/hdd");
    EXPECT_EQ(card->GetKernelName(), "mmcblk0");
    EXPECT_EQ(card->GetInterfaceType(), "SD");
    EXPECT_EQ(card->GetMediaType(), "Removable Media");
    EXPECT_EQ(card->GetModel(), "Model /dev/mmcblk0");
    EXPECT_EQ(card->GetSerialNumber(), "SN3");
    EXPECT_EQ(card->GetHeads(), 16) << "the disk list's head count replaces the geometry's";
    EXPECT_EQ(card->GetSectorsPerTrack(), 63);
    EXPECT_EQ(card->GetBytesPerSector(), 512);
    EXPECT_EQ(card->GetTotalSectors(), 400000u);
    EXPECT_EQ(card->GetParStyle(), PARSTYLE_MBR);
    EXPECT_EQ(card->IsBasicMbr(), 1);

    // Partitions are loaded with the disks; with 16 heads a cylinder is 1008
    // sectors, so the 2048 sectors before the partition are a gap of their own.
    ASSERT_EQ(card->GetPartitionCount(), 3);
    EXPECT_EQ(card->GetPartition(0)->GetFs(), FS_UNALLOCATED);
    EXPECT_EQ(card->GetPartition(0)->GetLen(), 2048u);
    EXPECT_EQ(card->GetPartition(1)->GetKernelName(), "mmcblk0p1");
    EXPECT_EQ(card->GetPartition(1)->GetFs(), FS_FAT32);
    EXPECT_EQ(a->GetPartitionCount(), 2);
}

TEST_F(DiskMgrTest, NothingIsWrittenAndReadOnlyDisksAreKept) {
    fake::Device& rw = Basic("/dev/sda");
    fake::Device& ro = Basic("/dev/sdb");
    ro.denyWrite = true;
    rw.disk->Sector(0)[0] = 0xEB;
    mgr.LoadAllDisk();

    ASSERT_EQ(mgr.GetDiskCount(), 2);
    EXPECT_EQ(rw.disk->writes, 0);
    EXPECT_EQ(ro.disk->writes, 0);
    // The write probe is one read-write open of each disk, nothing more.
    EXPECT_EQ(p.readWriteOpens, std::vector<std::string>{"/dev/sda"});
    for (int i = 0; i < 2; ++i) {
        CDisk* d = mgr.GetDiskByIndex(i);
        ASSERT_NE(d->GetHandle(), nullptr);
        EXPECT_TRUE(d->GetHandle()->IsReadOnly()) << "the handle kept for reading is read-only";
        EXPECT_EQ(d->GetState(), 0);
    }
    CDisk* locked = mgr.GetDiskByIndex(1);
    EXPECT_EQ(locked->GetDevicePath(), "/dev/sdb");
    EXPECT_EQ(locked->GetPartitionCount(), 2) << "a disk that opens read-only only is scanned";
}

TEST_F(DiskMgrTest, AtMostTwentyDisks) {
    for (int i = 0; i < 25; ++i) p.AddDisk("/dev/vd" + std::string(1, static_cast<char>('a' + i)), 1000);
    std::vector<WmiDiskInfor> records;
    EXPECT_EQ(Win_EnumAllDisksInfoByWMI(records), 20);
    EXPECT_EQ(records.back().DeviceID, "/dev/vdt");
    mgr.LoadAllDisk();
    EXPECT_EQ(mgr.GetDiskCount(), 20);
    mgr.LoadAllDisk();
    EXPECT_EQ(mgr.GetDiskCount(), 20) << "a full list takes no more";
}

TEST_F(DiskMgrTest, FailedDiskListGivesNoDisks) {
    Basic("/dev/sda");
    p.enumDisksResult = -1;
    std::vector<WmiDiskInfor> records(3);
    EXPECT_EQ(Win_EnumAllDisksInfoByWMI(records), 0);
    EXPECT_TRUE(records.empty());
    mgr.LoadAllDisk();
    EXPECT_EQ(mgr.GetDiskCount(), 0);
}

TEST_F(DiskMgrTest, DisksRefusedForLackOfPermissionAreCounted) {
    Basic("/dev/sda");
    Basic("/dev/sdb").denyAll = true;        // EACCES
    Basic("/dev/sdc").geometryFails = true;  // opens, but is no disk
    PlatformDiskInfo gone;                   // listed, but its node is missing
    gone.DeviceID = "/dev/sdd";
    gone.Index = 3;
    p.disks.push_back(gone);
    Basic("/dev/sde").denyAll = true;
    mgr.LoadAllDisk();
    EXPECT_EQ(mgr.GetDiskCount(), 1);
    EXPECT_EQ(mgr.GetDeniedDiskCount(), 2);
    // Every disk left out, with the reason it was.
    std::vector<std::pair<std::string, int>> unopened;
    for (const auto& u : mgr.GetUnopenedDisks()) unopened.emplace_back(u.path, u.err);
    EXPECT_EQ(unopened, (std::vector<std::pair<std::string, int>>{
                            {"/dev/sdb", EACCES}, {"/dev/sdc", 0}, {"/dev/sdd", ENOENT}, {"/dev/sde", EACCES}}));
    mgr.ReleaseAllDisk();
    EXPECT_EQ(mgr.GetDeniedDiskCount(), 0);
    EXPECT_TRUE(mgr.GetUnopenedDisks().empty());
    p.devices["/dev/sdb"].denyAll = false;
    mgr.LoadAllDisk();
    EXPECT_EQ(mgr.GetDiskCount(), 2);
    EXPECT_EQ(mgr.GetDeniedDiskCount(), 1);
}

TEST_F(DiskMgrTest, RefreshReplacesEveryDisk) {
    Basic("/dev/sda");
    mgr.LoadAllDisk();
    ASSERT_EQ(mgr.GetDiskCount(), 1);
    mgr.ReleaseAllDisk();
    EXPECT_EQ(mgr.GetDiskCount(), 0);
    EXPECT_EQ(mgr.GetDiskByIndex(0), nullptr);
    Basic("/dev/sdb");
    mgr.LoadAllDisk();
    ASSERT_EQ(mgr.GetDiskCount(), 2);
    EXPECT_EQ(mgr.GetDiskByIndex(1)->GetDevicePath(), "/dev/sdb");
}

TEST_F(DiskMgrTest, PartitionStyleAndWholeDiskEntries) {
    // {5808C8AA-7E8F-42E0-85D2-E1E90434CFB3} as stored on disk.
    std::array<uint8_t, 16> ldm = {0xAA, 0xC8, 0x08, 0x58, 0x8F, 0x7E, 0xE0, 0x42,
                                   0x85, 0xD2, 0xE1, 0xE9, 0x04, 0x34, 0xCF, 0xB3};
    std::array<uint8_t, 16> basicData = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                         0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};
    auto mbr = [](uint8_t type) {
        LayoutExEntry e;
        e.MbrType = type;
        return e;
    };
    auto gpt = [](const std::array<uint8_t, 16>& type, uint64_t first, uint64_t sectors, uint32_t number) {
        LayoutExEntry e;
        e.GptType = type;
        e.StartingOffset = first * 512;
        e.PartitionLength = sectors * 512;
        e.PartitionNumber = number;
        return e;
    };
    struct Case {
        const char* path;
        PartitionStyle style;
        std::vector<LayoutExEntry> entries;
        bool exFails;
        int parStyle;
        const char* label;  // of the single whole-disk entry; null: a listed table
        bool readable = true;
    };
    std::vector<Case> cases = {
        {"/dev/sda", PartitionStyle::Mbr, {mbr(0x0C), mbr(0x07)}, false, PARSTYLE_MBR, nullptr},
        {"/dev/sdb", PartitionStyle::Mbr, {mbr(0x07), mbr(0x42)}, false, PARSTYLE_MBR_DYNAMIC, "Dynamic Disk"},
        {"/dev/sdc", PartitionStyle::Gpt, {gpt(basicData, 2048, 100000, 1), gpt(basicData, 102048, 297000, 3)}, false,
         PARSTYLE_GPT, nullptr},
        {"/dev/sdd", PartitionStyle::Gpt, {gpt(basicData, 2048, 1000, 1), gpt(ldm, 4096, 1000, 2)}, false,
         PARSTYLE_GPT_DYNAMIC, "Dynamic Disk"},
        {"/dev/sde", PartitionStyle::Raw, {}, false, PARSTYLE_RAW, "Unknown Disk"},
        {"/dev/sdf", PartitionStyle::Mbr, {}, true, PARSTYLE_RAW, "Unknown Disk"},
        {"/dev/sdg", PartitionStyle::Gpt, {}, false, PARSTYLE_GPT, "Bad DPT Disk", false},
    };
    for (auto& c : cases) {
        fake::Device& d = Basic(c.path);
        d.layoutEx.Style = c.style;
        d.layoutEx.Entries = c.entries;
        d.layoutEx.Readable = c.readable;
        d.layoutExFails = c.exFails;
    }
    mgr.LoadAllDisk();
    ASSERT_EQ(mgr.GetDiskCount(), static_cast<int>(cases.size()));
    for (size_t i = 0; i < cases.size(); ++i) {
        CDisk* disk = mgr.GetDiskByIndex(static_cast<int>(i));
        EXPECT_EQ(disk->GetParStyle(), cases[i].parStyle) << cases[i].path;
        if (!cases[i].label) {
            EXPECT_EQ(disk->GetPartitionCount(), 2) << cases[i].path;
            continue;
        }
        ASSERT_EQ(disk->GetPartitionCount(), 1) << cases[i].path;
        CPartition* whole = disk->GetPartition(0);
        EXPECT_EQ(whole->GetVolLabel(), cases[i].label) << cases[i].path;
        EXPECT_EQ(whole->GetFs(), FS_WHOLE_DISK);
        EXPECT_EQ(whole->GetLen(), 400000u);
        EXPECT_EQ(disk->IsBasicMbr(), 0);
    }
}

TEST_F(DiskMgrTest, DiskNumbersNameTheDisks) {
    p.AddDevice("/dev/sdq", 1000);
    p.AddDevice("/tmp/images/card.img", 1000);
    struct Case {
        int number;
        const char* devName;
    } cases[] = {{0, "/dev/hda"}, {2, "/dev/hdc"}, {25, "/dev/hdz"}, {26, "/dev/hdaa"}, {27, "/dev/hdab"}};
    for (auto& c : cases) {
        CDisk d;
        ASSERT_EQ(CDiskMgr::LoadDiskInfor(&d, "/dev/sdq", c.number), 0);
        EXPECT_EQ(d.GetDevName(), c.devName);
        EXPECT_EQ(d.GetDiskNo(), c.number);
        EXPECT_EQ(d.GetKernelName(), "sdq");
    }
    CDisk img;
    ASSERT_EQ(CDiskMgr::LoadDiskInfor(&img, "/tmp/images/card.img", 4), 0);
    EXPECT_EQ(img.GetKernelName(), "card.img");
    CDisk missing;
    EXPECT_EQ(CDiskMgr::LoadDiskInfor(&missing, "/dev/none", 1), -1);
    EXPECT_EQ(missing.GetHandle(), nullptr);
}

TEST_F(DiskMgrTest, WriteProbeRecordsNothingOnAWritableDisk) {
    fake::Device& d = Basic("/dev/sda");
    CDisk disk;
    ASSERT_EQ(CDiskMgr::LoadDiskInfor(&disk, "/dev/sda", 0), 0);
    disk.m_state = DISKSTATE_BAD_DPT | 4;
    CDiskMgr::DetectState(&disk);
    EXPECT_EQ(disk.m_state, DISKSTATE_BAD_DPT | 4) << "a writable disk keeps its state";
    d.denyWrite = true;
    CDiskMgr::DetectState(&disk);
    EXPECT_EQ(disk.m_state, 4) << "read-only: every bit but 4 cleared";
    d.denyAll = true;
    CDiskMgr::DetectState(&disk);
    EXPECT_EQ(disk.m_state, 0);
    EXPECT_EQ(d.disk->writes, 0);
}

}  // namespace

// --- image files standing for disks -------------------------------------------

namespace {

using DiskMgrImageTest = ImageDiskTest;

TEST_F(DiskMgrImageTest, ImagesAreTheDisksInTheOrderGiven) {
    std::string gpt = Make("gpt.img", 64, "label: gpt\nstart=2048, size=40000\n");
    std::string dyn = Make("dyn.img", 32, "label: dos\nstart=2048, size=40000, type=42\n");
    std::string blank = Make("blank.img", 16, "");
    std::string card = Make("card.img", 64, "label: dos\nstart=2048, size=100000, type=c\n");
    CDiskMgr& mgr = Load({gpt, dyn, blank, card});
    ASSERT_EQ(mgr.GetDiskCount(), 4);

    // The GPT disk lists its partition (numbered as the kernel numbers it)
    // and the free space after it.
    CDisk* g = mgr.GetDiskByIndex(0);
    EXPECT_EQ(g->GetParStyle(), PARSTYLE_GPT);
    ASSERT_EQ(g->LoadPartition(), 2);
    EXPECT_EQ(g->GetPartition(0)->GetOff(), 2048u);
    EXPECT_EQ(g->GetPartition(0)->GetLen(), 40000u);
    EXPECT_EQ(g->GetPartition(0)->GetKernelName(), "gpt.img#1");
    EXPECT_EQ(g->GetPartition(1)->GetFs(), FS_UNALLOCATED);
    EXPECT_EQ(g->GetState(), 0);

    struct Want {
        int style;
        const char* label;
        uint64_t sectors;
    } want[] = {{PARSTYLE_GPT, "", 131072},
                {PARSTYLE_MBR_DYNAMIC, "Dynamic Disk", 65536},
                {PARSTYLE_RAW, "Unknown Disk", 32768}};
    for (int i = 1; i < 3; ++i) {
        CDisk* d = mgr.GetDiskByIndex(i);
        EXPECT_EQ(d->GetDiskNo(), i);
        EXPECT_EQ(d->GetParStyle(), want[i].style) << d->GetDevicePath();
        EXPECT_EQ(d->GetTotalSectors(), want[i].sectors);
        ASSERT_EQ(d->LoadPartition(), 1) << d->GetDevicePath();
        CPartition* whole = d->GetPartition(0);
        EXPECT_EQ(whole->GetVolLabel(), want[i].label);
        EXPECT_EQ(whole->GetFs(), FS_WHOLE_DISK);
        EXPECT_EQ(whole->GetOff(), 0u);
        EXPECT_EQ(whole->GetLen(), want[i].sectors);
    }
    CDisk* c = mgr.GetDiskByNo(3);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->GetDevicePath(), card);
    EXPECT_EQ(c->GetKernelName(), "card.img");
    EXPECT_EQ(c->GetInterfaceType(), "Image");
    EXPECT_EQ(c->GetDevName(), "/dev/hdd");
    EXPECT_EQ(c->GetBytesPerSector(), 512);
    EXPECT_EQ(c->IsBasicMbr(), 1);
    ASSERT_NE(c->FindPartition(1), nullptr);
    EXPECT_EQ(c->FindPartition(1)->GetKernelName(), "card.img#1");
}

TEST_F(DiskMgrImageTest, LoadingWritesNothing) {
    if (!testutil::HaveTool("mkfs.fat") || !testutil::HaveTool("sha256sum")) GTEST_SKIP();
    std::string card = Make("card.img", 64,
                            "label: dos\nstart=2048, size=81920, type=c\nstart=83968, size=40000, type=5\n");
    ASSERT_EQ(testutil::Run("mkfs.fat -F 32 -s 1 --offset=2048 '" + card + "' 40960 >/dev/null 2>&1"), 0);
    std::string gpt = Make("gpt.img", 16, "label: gpt\nstart=2048, size=20000\n");
    auto sums = [&] { return testutil::Capture("sha256sum '" + card + "' '" + gpt + "'; stat -c %Y '" + card + "' '" + gpt + "'"); };
    std::string before = sums();

    CDiskMgr& mgr = Load({card, gpt});
    ASSERT_EQ(mgr.GetDiskCount(), 2);
    for (int i = 0; i < mgr.GetDiskCount(); ++i) EXPECT_GT(mgr.GetDiskByIndex(i)->LoadPartition(), 0);
    EXPECT_EQ(mgr.GetDiskByIndex(0)->FindPartition(1)->GetFs(), FS_FAT32);
    mgr.ReleaseAllDisk();
    mgr.LoadAllDisk();  // the refresh probes again
    EXPECT_EQ(mgr.GetDiskCount(), 2);
    mgr.ReleaseAllDisk();

    EXPECT_EQ(sums(), before);
}

TEST_F(DiskMgrImageTest, AddImageOpensOneMoreDiskAndKeepsItAcrossReloads) {
    std::string card = Make("card.img", 64, "label: dos\nstart=2048, size=100000, type=c\n");
    std::string second = Make("second.img", 32, "label: dos\nstart=2048, size=40000, type=7\n");
    CDiskMgr& mgr = Load({card});
    ASSERT_EQ(mgr.GetDiskCount(), 1);

    EXPECT_EQ(mgr.AddImage(second), 1);
    ASSERT_EQ(mgr.GetDiskCount(), 2);
    CDisk* d = mgr.GetDiskByIndex(1);
    EXPECT_EQ(d->GetDevicePath(), second);
    EXPECT_EQ(d->GetDiskNo(), 1) << "the number the next load gives it";
    EXPECT_EQ(d->GetInterfaceType(), "Image");
    EXPECT_EQ(d->GetTotalSectors(), 65536u);
    ASSERT_NE(d->FindPartition(1), nullptr) << "its partitions are loaded";
    EXPECT_EQ(d->FindPartition(1)->GetKernelName(), "second.img#1");
    EXPECT_EQ(ImageFiles(), (std::vector<std::string>{card, second}));

    EXPECT_EQ(mgr.AddImage(second), 1) << "an image already loaded is not opened twice";
    EXPECT_EQ(mgr.AddImage(card), 0);
    EXPECT_EQ(mgr.GetDiskCount(), 2);

    // Refused files leave the list and the sources as they were.
    EXPECT_EQ(mgr.AddImage(dir / "missing.img"), -1);
    EXPECT_EQ(mgr.GetLastImageError(), "no such file or directory");
    EXPECT_EQ(mgr.AddImage(dir.path()), -1) << "a folder is no disk";
    EXPECT_EQ(mgr.GetLastImageError(), "is a directory");
    // Shorter than one sector: an empty or a text file is no disk.
    ASSERT_TRUE(testutil::WriteFileBytes(dir / "note.txt", std::vector<uint8_t>(25, 'x')));
    ASSERT_TRUE(testutil::WriteFileBytes(dir / "empty.img", {}));
    EXPECT_EQ(mgr.AddImage(dir / "note.txt"), -1);
    EXPECT_EQ(mgr.GetLastImageError(),
              "the file holds 25 bytes, less than one sector of 512 bytes, so it cannot be a disk");
    EXPECT_EQ(mgr.AddImage(dir / "empty.img"), -1);
    EXPECT_EQ(mgr.GetLastImageError(),
              "the file holds 0 bytes, less than one sector of 512 bytes, so it cannot be a disk");
    EXPECT_EQ(mgr.GetDiskCount(), 2);
    EXPECT_EQ(mgr.AddImage(card), 0);
    EXPECT_EQ(mgr.GetLastImageError(), "");
    EXPECT_EQ(ImageFiles(), (std::vector<std::string>{card, second}));
    EXPECT_EQ(mgr.GetDeniedDiskCount(), 0);

    mgr.ReleaseAllDisk();
    mgr.LoadAllDisk();
    ASSERT_EQ(mgr.GetDiskCount(), 2);
    EXPECT_EQ(mgr.GetDiskByIndex(1)->GetDevicePath(), second);
}

}  // namespace
