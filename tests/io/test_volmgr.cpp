#include <gtest/gtest.h>

#include "fake_platform.h"
#include "io/diskmgr.h"
#include "io/volmgr.h"

namespace {

PlatformVolume Vol(const std::string& name, const std::string& mount, uint64_t lba, uint64_t count, uint32_t disk) {
    return {name, mount, lba * 512, count * 512, disk};
}

class VolMgrTest : public ::testing::Test {
protected:
    fake::Platform p;
    fake::Scope scope{p};
    CVolMgr table;  // a table of its own; InitFromInfor uses the process-wide one

    ~VolMgrTest() override {
        p.volumes.clear();
        p.enumVolumesResult = 0;
        CVolMgr::Instance().EnumVols();  // leave the process-wide table empty
    }
};

TEST_F(VolMgrTest, TableKeepsExtentsInSectorsAndTheFirstMountPath) {
    p.volumes = {Vol("/dev/sdb1", "/media/card", 2048, 100000, 1), Vol("/dev/sda2", "", 4096, 5000, 0)};
    ASSERT_EQ(table.EnumVols(), 2);
    const VolEntry* e = table.GetEntry(0);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->VolumeName, "/dev/sdb1");
    EXPECT_EQ(e->MountPath, "/media/card");
    EXPECT_EQ(e->Off, 2048u);
    EXPECT_EQ(e->Len, 100000u);
    EXPECT_EQ(e->DiskNo, 1u);
    EXPECT_EQ(table.GetEntry(1)->MountPath, "");
    EXPECT_EQ(table.GetEntry(2), nullptr);

    std::string dest = "unchanged";
    table.GetVolumeMountPath("/dev/sda2", dest);
    EXPECT_EQ(dest, "unchanged") << "a volume without a mount path leaves the destination alone";
    table.GetVolumeMountPath("/dev/nope", dest);
    EXPECT_EQ(dest, "unchanged");
    table.GetVolumeMountPath("/dev/sdb1", dest);
    EXPECT_EQ(dest, "/media/card");

    VolEntry v;
    EXPECT_EQ(table.GetVolInfor(v, "/dev/nope"), -1);
    EXPECT_EQ(table.GetVolInfor(v, ""), -1);
}

TEST_F(VolMgrTest, EveryEnumerationRefillsTheTable) {
    p.volumes = {Vol("/dev/sdb1", "/a", 2048, 100, 1), Vol("/dev/sdb2", "/b", 4096, 100, 1)};
    ASSERT_EQ(table.EnumVols(), 2);
    p.volumes = {Vol("/dev/sdc1", "/c", 2048, 100, 2)};
    ASSERT_EQ(table.EnumVols(), 1);
    EXPECT_EQ(table.FindVolume(4096, 100, 1).VolumeName, "") << "an old entry is not searched";
    p.enumVolumesResult = -1;
    EXPECT_EQ(table.EnumVols(), 0);
    EXPECT_EQ(table.FindVolume(2048, 100, 2).VolumeName, "");
}

TEST_F(VolMgrTest, MoreThanFiftyVolumesKeepTheFirstFifty) {
    for (uint32_t i = 0; i < 60; ++i)
        p.volumes.push_back(Vol("/dev/sd" + std::to_string(i), "/m" + std::to_string(i), 2048, 100, i));
    ASSERT_EQ(table.EnumVols(), 50);
    EXPECT_EQ(table.FindVolume(2048, 100, 49).VolumeName, "/dev/sd49");
    EXPECT_EQ(table.FindVolume(2048, 100, 50).VolumeName, "");
}

TEST_F(VolMgrTest, FindVolumeNeedsExactExtentAndDiskAndTakesTheFirst) {
    p.volumes = {Vol("/dev/first", "/1", 2048, 1000, 3), Vol("/dev/second", "/2", 2048, 1000, 3),
                 Vol("/dev/other", "/3", 2048, 1000, 4)};
    table.EnumVols();
    EXPECT_EQ(table.FindVolume(2048, 1000, 3).VolumeName, "/dev/first");
    EXPECT_EQ(table.FindVolume(2048, 1000, 4).VolumeName, "/dev/other");
    EXPECT_EQ(table.FindVolume(2048, 999, 3).VolumeName, "");
    EXPECT_EQ(table.FindVolume(2049, 1000, 3).MountPath, "");
    EXPECT_EQ(table.FindVolume(2048, 1000, 5).VolumeName, "");
    EXPECT_EQ(table.FindVolume(2048, 1000, -1).VolumeName, "") << "an unloaded disk matches nothing";
}

TEST_F(VolMgrTest, FreeSectorsOfAMountPath) {
    p.freeBytes["/media/card"] = 1000 * 512 + 511;
    EXPECT_EQ(Win_GetVolumeFreeSectors("/media/card"), 1000u);
    EXPECT_EQ(Win_GetVolumeFreeSectors("/nowhere"), 0u);
}

class InitFromInforTest : public VolMgrTest {
protected:
    std::unique_ptr<CDisk> disk = [] {
        auto d = std::make_unique<CDisk>();
        d->m_diskNo = 1;
        d->m_devName = "/dev/hdb";
        return d;
    }();
    static ParInfor Rec(uint64_t off, uint64_t len, int type, int no) {
        ParInfor r;
        r.Off = off;
        r.Len = len;
        r.Type = type;
        r.PartNo = no;
        r.Fs = 11;
        return r;
    }
};

TEST_F(InitFromInforTest, MountedPartitionLearnsItsVolume) {
    p.volumes = {Vol("/dev/sdb1", "/media/card", 2048, 100000, 1)};
    p.freeBytes["/media/card"] = 2 * 1024 * 1024;
    p.labels["/dev/sdb1"] = "CANON";
    CVolMgr::Instance().EnumVols();
    CPartition par;
    CVolMgr::InitFromInfor(&par, disk.get(), Rec(2048, 100000, PAR_PRIMARY, 1));
    EXPECT_EQ(par.GetDisk(), disk.get());
    EXPECT_EQ(par.GetFs(), 11);
    EXPECT_EQ(par.GetVolumeName(), "/dev/sdb1");
    EXPECT_EQ(par.GetDriveRoot(), "/media/card");
    EXPECT_EQ(par.GetDevName(), "/dev/hdb1");
    EXPECT_EQ(par.GetFreeSec(), 4096u);
    EXPECT_EQ(par.GetVolLabel(), "CANON");
}

TEST_F(InitFromInforTest, UnmountedVolumeHasNoFreeSpaceOrLabel) {
    p.volumes = {Vol("/dev/sdb1", "", 2048, 100000, 1)};
    p.labels["/dev/sdb1"] = "CANON";
    p.freeBytes[""] = 1 << 20;
    CVolMgr::Instance().EnumVols();
    CPartition par;
    CVolMgr::InitFromInfor(&par, disk.get(), Rec(2048, 100000, PAR_PRIMARY, 1));
    EXPECT_EQ(par.GetVolumeName(), "/dev/sdb1");
    EXPECT_EQ(par.GetDriveRoot(), "");
    EXPECT_EQ(par.GetFreeSec(), 0u);
    EXPECT_EQ(par.GetVolLabel(), "");
}

TEST_F(InitFromInforTest, FailingLabelAndFreeSpaceLeaveTheRestIntact) {
    p.volumes = {Vol("/dev/sdb1", "/media/card", 2048, 100000, 1)};
    CVolMgr::Instance().EnumVols();
    CPartition par;
    ParInfor r = Rec(2048, 100000, PAR_PRIMARY, 1);
    r.VolLabel = "kept";
    CVolMgr::InitFromInfor(&par, disk.get(), r);
    EXPECT_EQ(par.GetDriveRoot(), "/media/card");
    EXPECT_EQ(par.GetFreeSec(), 0u);
    EXPECT_EQ(par.GetVolLabel(), "kept");
}

TEST_F(InitFromInforTest, ContainerAndUnmatchedPartitionStayBare) {
    p.volumes = {Vol("/dev/sdb2", "/media/x", 4096, 100000, 1)};
    p.freeBytes["/media/x"] = 1 << 20;
    CVolMgr::Instance().EnumVols();
    CPartition container;
    CVolMgr::InitFromInfor(&container, disk.get(), Rec(4096, 100000, PAR_EXTENDED, 2));
    EXPECT_EQ(container.GetVolumeName(), "");
    EXPECT_EQ(container.GetDriveRoot(), "");
    EXPECT_EQ(container.GetDevName(), "");
    EXPECT_EQ(container.GetFreeSec(), 0u);
    EXPECT_EQ(container.GetOff(), 4096u);

    CPartition other;
    CVolMgr::InitFromInfor(&other, disk.get(), Rec(4096, 100001, PAR_LOGICAL, 5));
    EXPECT_EQ(other.GetVolumeName(), "");
    EXPECT_EQ(other.GetDevName(), "/dev/hdb5");
    EXPECT_EQ(other.GetFreeSec(), 0u);
}

}  // namespace
