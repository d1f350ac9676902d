#include <gtest/gtest.h>

#include "fake_platform.h"
#include "io/diskmgr.h"
#include "io/volmgr.h"
#include "io/winboot.h"

namespace {

using fake::Primary;

class DiskTest : public ::testing::Test {
protected:
    fake::Platform p;
    fake::Scope scope{p};

    std::unique_ptr<CDisk> Open(const std::string& path, int parStyle) {
        auto d = std::make_unique<CDisk>();
        EXPECT_EQ(CDiskMgr::LoadDiskInfor(d.get(), path, 0), 0);
        d->m_parStyle = parStyle;
        return d;
    }
};

TEST_F(DiskTest, DisksWhosePartitionsAreNotListedShowOneWholeDiskEntry) {
    struct Case {
        int style;
        const char* label;
    } cases[] = {{PARSTYLE_MBR_DYNAMIC, "Dynamic Disk"},
                 {PARSTYLE_GPT_DYNAMIC, "Dynamic Disk"},
                 {PARSTYLE_RAW, "Unknown Disk"}};
    p.AddDevice("/dev/sdb", 777777).layout = {Primary(1, 0x07, 2048, 1000)};
    for (const Case& c : cases) {
        auto disk = Open("/dev/sdb", c.style);
        ASSERT_EQ(disk->LoadPartition(), 1) << c.label;
        CPartition* par = disk->GetPartition(0);
        ParInfor r;
        par->GetInfor(r);
        EXPECT_EQ(r.Off, 0u);
        EXPECT_EQ(r.Len, 777777u);
        EXPECT_EQ(r.Type, 0);
        EXPECT_EQ(r.Fs, FS_WHOLE_DISK);
        EXPECT_EQ(r.PartNo, 0);
        EXPECT_EQ(r.VolLabel, c.label);
        EXPECT_EQ(par->GetVolumeName(), "");
        EXPECT_EQ(par->GetDevName(), "");
        EXPECT_EQ(par->GetDisk(), disk.get());
        EXPECT_EQ(disk->GetState(), 0);
    }
}

TEST_F(DiskTest, TableThatFailsToLoadGivesABadDptEntry) {
    auto& dev = p.AddDevice("/dev/sdb", 300000);
    dev.layout = {Primary(1, 0x07, 2048, 100000), Primary(2, 0x07, 50000, 100000)};
    auto disk = Open("/dev/sdb", PARSTYLE_MBR);
    EXPECT_EQ(disk->IsBasicMbr(), 1);
    ASSERT_EQ(disk->LoadPartition(), 1);
    EXPECT_EQ(disk->GetState() & DISKSTATE_BAD_DPT, DISKSTATE_BAD_DPT);
    EXPECT_EQ(disk->IsBasicMbr(), 0);
    EXPECT_EQ(disk->GetPartition(0)->GetVolLabel(), "Bad DPT Disk");
    EXPECT_EQ(disk->GetPartition(0)->GetFs(), FS_WHOLE_DISK);
    EXPECT_EQ(disk->GetPartition(0)->GetLen(), 300000u);
}

TEST_F(DiskTest, PartitionsLoadOnceAndAreFoundByIndexAndNumber) {
    auto& dev = p.AddDevice("/dev/sdb", 1000000);
    dev.layout = {Primary(1, 0x07, 2048, 100000), fake::EmptySlot(), Primary(3, 0x0C, 200000, 100000),
                  fake::EmptySlot()};
    auto disk = Open("/dev/sdb", PARSTYLE_MBR);
    ASSERT_EQ(disk->LoadPartition(), 4);  // 1, gap, 3, trailing gap
    CPartition* first = disk->GetPartition(0);
    dev.layout.clear();  // a reload would now give one unallocated entry
    EXPECT_EQ(disk->LoadPartition(), 4);
    EXPECT_EQ(disk->GetPartition(0), first) << "a second call does not reload";

    EXPECT_NE(disk->GetPartition(3), nullptr);
    EXPECT_EQ(disk->GetPartition(4), nullptr);
    EXPECT_EQ(disk->GetPartition(-1), nullptr);
    ASSERT_NE(disk->FindPartition(3), nullptr);
    EXPECT_EQ(disk->FindPartition(3)->GetOff(), 200000u);
    EXPECT_EQ(disk->FindPartition(2), nullptr);
    EXPECT_EQ(disk->FindPartition(0), disk->GetPartition(1)) << "the first gap has number 0";
    for (int i = 0; i < disk->GetPartitionCount(); ++i) EXPECT_EQ(disk->GetPartition(i)->GetDisk(), disk.get());
}

// --- boot and system flags ----------------------------------------------------

class BootTest : public DiskTest {
protected:
    // Three primaries: 1 at 2048, 2 (active) at 102048, 3 at 202048.
    std::unique_ptr<CDisk> Load(int activeSlot = 1) {
        auto& dev = p.AddDevice("/dev/sdb", 400000);
        dev.layout = {Primary(1, 0x07, 2048, 100000), Primary(2, 0x07, 102048, 100000),
                      Primary(3, 0x07, 202048, 100000), fake::EmptySlot()};
        uint32_t starts[] = {2048, 102048, 202048};
        for (int i = 0; i < 3; ++i)
            fake::MbrEntry(*dev.disk, i, i == activeSlot ? 0x80 : 0, 0x07, starts[i], 100000);
        auto disk = Open("/dev/sdb", PARSTYLE_MBR);
        EXPECT_GT(disk->LoadPartition(), 0);
        return disk;
    }
    void Mount(int partNo, const std::string& where) {
        uint64_t starts[] = {0, 2048, 102048, 202048};
        p.volumes.push_back({"/dev/sdb" + std::to_string(partNo), where, starts[partNo] * 512, 100000ull * 512, 0});
    }
    ~BootTest() override {
        p.volumes.clear();
        CVolMgr::Instance().EnumVols();
    }
};

TEST_F(BootTest, SystemIsThePartitionMountedAtRoot) {
    Mount(1, "/boot/efi");
    Mount(3, "/");
    p.systemVolume = "/dev/sdb3";
    auto disk = Load();
    EXPECT_EQ(disk->FindPartition(3)->IsSystem(), 1);
    EXPECT_EQ(disk->FindPartition(1)->IsSystem(), 0);
    EXPECT_EQ(disk->FindPartition(3)->IsBoot(), 0);
    EXPECT_EQ(disk->FindPartition(2)->IsActive(), 1);
}

TEST_F(BootTest, NoSystemVolumeMarksNothing) {
    Mount(3, "/");
    auto disk = Load();
    for (int i = 0; i < disk->GetPartitionCount(); ++i) EXPECT_EQ(disk->GetPartition(i)->IsSystem(), 0);
}

TEST_F(BootTest, ActivePartitionHoldingABootLoaderIsBoot) {
    struct Case {
        std::set<std::string> files;
        bool boot;
    } cases[] = {
        {{"/media/c/bootmgr", "/media/c/Boot/BCD"}, true},
        {{"/media/c/ntldr", "/media/c/boot.ini"}, true},
        {{"/media/c/bootmgr"}, false},
        {{"/media/c/Boot/BCD", "/media/c/boot.ini"}, false},
        {{"/media/c/ntldr"}, false},
        {{}, false},
    };
    Mount(2, "/media/c");
    for (const Case& c : cases) {
        p.existing = c.files;
        auto disk = Load();
        CPartition* active = disk->FindPartition(2);
        std::string files;
        for (auto& f : c.files) files += f + " ";
        EXPECT_EQ(active->IsBoot(), c.boot ? 1 : 0) << files;
        ParInfor r;
        active->GetInfor(r);
        EXPECT_EQ(r.State & PARSTATE_ACTIVE, PARSTATE_ACTIVE) << "the boot bit keeps the active bit";
        EXPECT_EQ(disk->FindPartition(1)->IsBoot(), 0);
    }
}

TEST_F(BootTest, MountPointWithTrailingSlashAndUnmountedActivePartition) {
    p.existing = {"/media/c/bootmgr", "/media/c/Boot/BCD", "bootmgr", "Boot/BCD", "/bootmgr", "/Boot/BCD"};
    Mount(2, "/media/c/");
    EXPECT_EQ(Load()->FindPartition(2)->IsBoot(), 1);
    p.volumes.clear();
    EXPECT_EQ(Load()->FindPartition(2)->IsBoot(), 0) << "no mount point, nothing to look into";
}

TEST_F(BootTest, OnlyTheActivePartitionIsLookedInto) {
    Mount(1, "/media/a");
    p.existing = {"/media/a/bootmgr", "/media/a/Boot/BCD"};
    auto disk = Load();
    EXPECT_EQ(disk->FindPartition(1)->IsBoot(), 0);
    EXPECT_EQ(disk->FindPartition(2)->IsBoot(), 0);
}

TEST(DetectBootAndSystem, TheLastActiveEntryOfTheListWins) {
    fake::Platform p;
    fake::Scope scope(p);
    p.existing = {"/b/bootmgr", "/b/Boot/BCD", "/a/bootmgr", "/a/Boot/BCD"};
    PartitionList list;
    for (const char* root : {"/a", "/b"}) {
        auto par = std::make_unique<CPartition>();
        par->SetActive(1);
        par->SetDriveRoot(root);
        list.push_back(std::move(par));
    }
    CWinBoot::DetectBootAndSystem(list);
    EXPECT_EQ(list[0]->IsBoot(), 0);
    EXPECT_EQ(list[1]->IsBoot(), 1);
}

}  // namespace
