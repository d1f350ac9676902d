#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "fake_platform.h"
#include "image_disks.h"
#include "log_capture.h"
#include "io/diskmgr.h"
#include "io/dpt.h"
#include "io/volmgr.h"

namespace {

using fake::Logical;
using fake::Primary;

constexpr uint64_t kCyl = 255 * 63;  // one cylinder: the smallest gap listed

class DptTest : public ::testing::Test {
protected:
    fake::Platform p;
    fake::Scope scope{p};

    std::unique_ptr<CDisk> Open(const std::string& path, int number = 1) {
        auto d = std::make_unique<CDisk>();
        EXPECT_EQ(CDiskMgr::LoadDiskInfor(d.get(), path, number), 0);
        d->m_parStyle = PARSTYLE_MBR;
        return d;
    }

    struct Row {
        uint64_t off, len;
        int type, fs, no;
    };
    static std::vector<Row> Rows(CDpt& dpt) {
        std::vector<Row> rows;
        for (auto& par : dpt.GetParList())
            rows.push_back({par->GetOff(), par->GetLen(), par->GetType(), par->GetFs(), par->GetPartNo()});
        return rows;
    }
    static std::string Text(const std::vector<Row>& rows) {
        std::string s;
        for (auto& r : rows)
            s += std::to_string(r.off) + "+" + std::to_string(r.len) + " t" + std::to_string(r.type) + " fs" +
                 std::to_string(r.fs) + " #" + std::to_string(r.no) + "\n";
        return s;
    }
};

// --- file-system recognition ------------------------------------------------

TEST(DetectFsFromBootSector, RecognisesEachKindAndRejectsInvalidSectors) {
    EXPECT_EQ(DetectFsFromBootSector(fake::BootSector("NTFS")), 7);
    EXPECT_EQ(DetectFsFromBootSector(fake::BootSector("FAT32")), 11);
    EXPECT_EQ(DetectFsFromBootSector(fake::BootSector("FAT16")), 6);
    EXPECT_EQ(DetectFsFromBootSector(fake::BootSector("other")), 0);

    auto ntfs = fake::BootSector("NTFS");
    std::memcpy(&ntfs[3], "ntfs", 4);
    EXPECT_EQ(DetectFsFromBootSector(ntfs), 7) << "the OEM name is compared ignoring case";
    le::put16(ntfs, 14, 1);
    EXPECT_EQ(DetectFsFromBootSector(ntfs), 0) << "NTFS has no reserved sectors";

    auto fat32 = fake::BootSector("FAT32");
    le::put16(fat32, 17, 512);
    EXPECT_EQ(DetectFsFromBootSector(fat32), 0) << "FAT32 has no fixed root directory";

    std::array<uint8_t, 512> zeros{};
    EXPECT_EQ(DetectFsFromBootSector(zeros), 255);

    for (int spc : {0, 3, 255}) {
        auto s = fake::BootSector("FAT32");
        s[13] = static_cast<uint8_t>(spc);
        EXPECT_EQ(DetectFsFromBootSector(s), 255) << "sectors per cluster " << spc;
    }
    auto big = fake::BootSector("FAT32");
    big[13] = 128;
    EXPECT_EQ(DetectFsFromBootSector(big), 11);
    le::put16(big, 11, 4096);
    EXPECT_EQ(DetectFsFromBootSector(big), 255) << "only 512-byte sectors are valid";
    auto nosig = fake::BootSector("FAT32");
    nosig[511] = 0;
    EXPECT_EQ(DetectFsFromBootSector(nosig), 255);

    auto full = fake::BootSector("FAT32");
    EXPECT_EQ(DetectFsFromBootSector(std::span<const uint8_t>(full.data(), 511)), 255);
}

// The cluster count alone tells FAT12, FAT16 and FAT32 apart, whatever the
// type texts say; the counts at each border decide as the FAT layout has it.
TEST(DetectFsFromBootSector, FatTypeFollowsTheClusterCount) {
    struct Case {
        uint32_t clusters;
        const char* text;  // what the boot sector's type text claims
        int want;
    } cases[] = {
        {1, "FAT16", FS_FAT12},       {4084, "FAT16", FS_FAT12}, {4085, "FAT12", FS_FAT16},
        {65524, "FAT32", FS_FAT16},   {65525, "FAT16", FS_FAT32}, {1000000, "FAT12", FS_FAT32},
    };
    for (const Case& c : cases) {
        std::array<uint8_t, 512> s{};
        s[0] = 0xEB;
        s[2] = 0x90;
        le::put16(s, 11, 512);
        s[13] = 1;                 // sectors per cluster
        le::put16(s, 14, 4);       // reserved
        s[16] = 2;                 // FATs
        const uint32_t fat = c.clusters / 128 + 1;
        const bool big = c.clusters >= 65525;
        le::put16(s, 17, big ? 0 : 512);  // root entries: 32 sectors
        if (big) le::put32(s, 36, fat); else le::put16(s, 22, static_cast<uint16_t>(fat));
        const uint32_t total = 4 + 2 * fat + (big ? 0 : 32) + c.clusters;
        if (total < 65536) le::put16(s, 19, static_cast<uint16_t>(total)); else le::put32(s, 32, total);
        std::memcpy(&s[big ? 82 : 54], c.text, 5);
        s[510] = 0x55;
        s[511] = 0xAA;
        EXPECT_EQ(FatCodeFromBootSector(s), c.want) << c.clusters << " clusters";
        EXPECT_EQ(DetectFsFromBootSector(s), c.want) << c.clusters << " clusters";
    }
}

TEST(DetectFsFromBootSector, ExfatIsToldApartFromNtfs) {
    std::array<uint8_t, 512> s{};
    std::memcpy(&s[0], "\xEB\x76\x90" "EXFAT   ", 11);
    s[510] = 0x55;
    s[511] = 0xAA;
    EXPECT_EQ(DetectFsFromBootSector(s), FS_EXFAT) << "exFAT keeps no sector size at 11";
    s[511] = 0;
    EXPECT_EQ(DetectFsFromBootSector(s), 255);
}

TEST(FsCodeFromPartitionType, MapsTheKnownTypes) {
    EXPECT_EQ(FsCodeFromPartitionType(0x01), 1);
    EXPECT_EQ(FsCodeFromPartitionType(0x04), 6);
    EXPECT_EQ(FsCodeFromPartitionType(0x05), 5);
    EXPECT_EQ(FsCodeFromPartitionType(0x0F), 5);
    EXPECT_EQ(FsCodeFromPartitionType(0x85), 5);
    EXPECT_EQ(FsCodeFromPartitionType(0x07), 7);
    EXPECT_EQ(FsCodeFromPartitionType(0x0B), 11);
    EXPECT_EQ(FsCodeFromPartitionType(0x0C), 11);
    EXPECT_EQ(FsCodeFromPartitionType(0x06), 6);
    EXPECT_EQ(FsCodeFromPartitionType(0x0E), 6);
    EXPECT_EQ(FsCodeFromPartitionType(0x83), 255);
}

TEST(PartitionKind, LogicalWhenHiddenSectorsDifferFromTheStart) {
    EXPECT_EQ(PartitionKind(Primary(1, 0x0C, 2048, 100)), PAR_PRIMARY);
    EXPECT_EQ(PartitionKind(Primary(2, 0x05, 4096, 100)), PAR_EXTENDED);
    EXPECT_EQ(PartitionKind(Primary(2, 0x0F, 4096, 100)), PAR_EXTENDED);
    EXPECT_EQ(PartitionKind(Logical(5, 0x07, 4096, 6144, 100)), PAR_LOGICAL);
    // On a disk of 4096-byte sectors the hidden sectors count 4096-byte units.
    LayoutEntry e = fake::Entry(0x07, 2048 * 8, 800, 2048, 1);
    EXPECT_EQ(PartitionKind(e, 4096), PAR_PRIMARY);
    EXPECT_EQ(PartitionKind(e, 512), PAR_LOGICAL);
}

TEST(PartitionKernelName, FollowsTheKernelsNaming) {
    CDisk d;
    d.m_kernelName = "sdb";
    EXPECT_EQ(PartitionKernelName(d, 1), "sdb1");
    EXPECT_EQ(PartitionKernelName(d, 0), "");
    d.m_kernelName = "nvme0n1";
    EXPECT_EQ(PartitionKernelName(d, 2), "nvme0n1p2");
    d.m_kernelName = "mmcblk0";
    EXPECT_EQ(PartitionKernelName(d, 5), "mmcblk0p5");
    d.m_kernelName = "card.img";
    d.m_interfaceType = "Image";
    EXPECT_EQ(PartitionKernelName(d, 1), "card.img#1");
}

// --- the table and its gaps -------------------------------------------------

TEST_F(DptTest, DiskWithoutPartitionsIsOneUnallocatedEntry) {
    auto& dev = p.AddDevice("/dev/sdb", 1000000);
    dev.layout = {fake::EmptySlot(), fake::EmptySlot(), fake::EmptySlot(), fake::EmptySlot()};
    auto disk = Open("/dev/sdb");
    CDpt dpt(disk.get());
    ASSERT_EQ(dpt.LoadPartition(), 1);
    auto rows = Rows(dpt);
    EXPECT_EQ(rows[0].off, 0u);
    EXPECT_EQ(rows[0].len, 1000000u);
    EXPECT_EQ(rows[0].type, PAR_PRIMARY);
    EXPECT_EQ(rows[0].fs, FS_UNALLOCATED);
    EXPECT_EQ(rows[0].no, 0);
}

TEST_F(DptTest, NoLeadingGapBelowOneCylinderAndATrailingGapOfThePrimaryLevel) {
    for (uint64_t start : {63u, 2048u}) {
        std::string path = "/dev/sd" + std::to_string(start);
        auto& dev = p.AddDevice(path, 1000000);
        dev.layout = {Primary(1, 0x0C, start, 500000), fake::EmptySlot(), fake::EmptySlot(), fake::EmptySlot()};
        auto disk = Open(path);
        CDpt dpt(disk.get());
        ASSERT_EQ(dpt.LoadPartition(), 2) << start;
        auto rows = Rows(dpt);
        EXPECT_EQ(rows[0].off, start);
        EXPECT_EQ(rows[1].off, start + 500000);
        EXPECT_EQ(rows[1].len, 1000000 - start - 500000);
        EXPECT_EQ(rows[1].type, PAR_PRIMARY);
        EXPECT_EQ(rows[1].fs, FS_UNALLOCATED);
    }
}

TEST_F(DptTest, GapsShorterThanOneCylinderAreDropped) {
    auto& dev = p.AddDevice("/dev/sdb", 2048 + 100000 + (kCyl - 1) + 100000 + kCyl);
    dev.layout = {Primary(1, 0x07, 2048, 100000), Primary(2, 0x07, 2048 + 100000 + kCyl - 1, 100000),
                  fake::EmptySlot(), fake::EmptySlot()};
    auto disk = Open("/dev/sdb");
    CDpt dpt(disk.get());
    ASSERT_EQ(dpt.LoadPartition(), 3) << Text(Rows(dpt));
    auto rows = Rows(dpt);
    EXPECT_EQ(rows[2].fs, FS_UNALLOCATED);
    EXPECT_EQ(rows[2].len, kCyl) << "a gap of exactly one cylinder is listed";
}

TEST_F(DptTest, EmptyContainerHoldsOneLogicalGapWhateverItsSize) {
    auto& dev = p.AddDevice("/dev/sdb", 300000);
    dev.layout = {Primary(1, 0x0C, 2048, 200000), Primary(2, 0x05, 202048, 100), fake::EmptySlot(),
                  fake::EmptySlot()};
    auto disk = Open("/dev/sdb");
    CDpt dpt(disk.get());
    ASSERT_EQ(dpt.LoadPartition(), 4) << Text(Rows(dpt));
    auto rows = Rows(dpt);
    // The container sorts before the logical gap that starts where it starts.
    EXPECT_EQ(rows[1].off, 202048u);
    EXPECT_EQ(rows[1].type, PAR_EXTENDED);
    EXPECT_EQ(rows[1].fs, FS_EXTENDED);
    EXPECT_EQ(rows[1].no, 2);
    EXPECT_EQ(rows[2].off, 202048u);
    EXPECT_EQ(rows[2].len, 100u);
    EXPECT_EQ(rows[2].type, PAR_LOGICAL);
    EXPECT_EQ(rows[2].fs, FS_UNALLOCATED);
    // The space after the container is a primary-level gap.
    EXPECT_EQ(rows[3].off, 202148u);
    EXPECT_EQ(rows[3].type, PAR_PRIMARY);
    EXPECT_EQ(dpt.GetExtendedOff(), 202048u);
    EXPECT_EQ(dpt.GetExtendedLen(), 100u);
}

TEST_F(DptTest, LogicalPartitionsWithGapsAmongThem) {
    // Container 100000..400000; logical 5 at 102048, logical 6 far after it.
    auto& dev = p.AddDevice("/dev/sdb", 400000);
    dev.layout = {Primary(1, 0x0C, 2048, 97952), Primary(2, 0x0F, 100000, 300000), fake::EmptySlot(),
                  fake::EmptySlot(),
                  Logical(5, 0x07, 100000, 102048, 50000), fake::Entry(0x05, 200000, 100000, 100000, 0),
                  Logical(6, 0x0B, 200000, 202048, 50000)};
    auto disk = Open("/dev/sdb");
    CDpt dpt(disk.get());
    int n = dpt.LoadPartition();
    auto rows = Rows(dpt);
    ASSERT_EQ(n, 6) << Text(rows);
    // 1, container, 5, gap between 5 and 6, 6, gap after 6 up to the container's end.
    EXPECT_EQ(rows[0].no, 1);
    EXPECT_EQ(rows[1].type, PAR_EXTENDED);
    EXPECT_EQ(rows[2].no, 5);
    EXPECT_EQ(rows[2].type, PAR_LOGICAL);
    EXPECT_EQ(rows[2].fs, FS_UNKNOWN) << "no valid boot sector behind it";
    EXPECT_EQ(rows[3].off, 152048u);
    EXPECT_EQ(rows[3].len, 50000u);
    EXPECT_EQ(rows[3].type, PAR_LOGICAL);
    EXPECT_EQ(rows[3].fs, FS_UNALLOCATED);
    EXPECT_EQ(rows[4].no, 6);
    EXPECT_EQ(rows[5].off, 252048u);
    EXPECT_EQ(rows[5].len, 400000u - 252048u);
    EXPECT_EQ(rows[5].type, PAR_LOGICAL);
    // The chain link (type 5 after the primary slots) is not listed.
    for (auto& r : rows) EXPECT_FALSE(r.no == 0 && r.fs == FS_EXTENDED);
}

TEST_F(DptTest, SlotsWithATypeButNoSectorsAreNotListed) {
    auto& dev = p.AddDevice("/dev/sdb", 300000);
    dev.layout = {Primary(1, 0x0C, 2048, 200000), fake::Entry(0x83, 900000, 0, 900000, 0), fake::EmptySlot(),
                  fake::EmptySlot()};
    auto disk = Open("/dev/sdb");
    CDpt dpt(disk.get());
    ASSERT_EQ(dpt.LoadPartition(), 2) << Text(Rows(dpt));
    EXPECT_EQ(Rows(dpt)[1].fs, FS_UNALLOCATED);
}

TEST_F(DptTest, InconsistentTablesFailWithAnEmptyList) {
    struct Case {
        const char* what;
        std::vector<LayoutEntry> layout;
    };
    std::vector<Case> cases = {
        {"overlapping primaries", {Primary(1, 0x07, 2048, 100000), Primary(2, 0x07, 50000, 100000)}},
        {"partition past the end of the disk", {Primary(1, 0x07, 2048, 1000000)}},
        {"partition starting past the end", {Primary(1, 0x07, 900000, 10)}},
        {"logical partition without a container", {Logical(5, 0x07, 2048, 4096, 1000)}},
        {"logical partition leaving its container",
         {Primary(1, 0x05, 2048, 10000), Logical(5, 0x07, 2048, 4096, 10000)}},
        {"overlapping logical partitions",
         {Primary(1, 0x05, 2048, 100000), Logical(5, 0x07, 2048, 4096, 10000),
          Logical(6, 0x07, 10000, 12000, 10000)}},
        {"primary overlapping the container",
         {Primary(1, 0x05, 2048, 100000), Primary(2, 0x07, 50000, 100000)}},
    };
    for (auto& c : cases) {
        auto& dev = p.AddDevice("/dev/sdx", 300000);
        dev.layout = c.layout;
        auto disk = Open("/dev/sdx");
        CDpt dpt(disk.get());
        EXPECT_EQ(dpt.LoadPartition(), -1) << c.what;
        EXPECT_TRUE(dpt.GetParList().empty()) << c.what;
        EXPECT_EQ(dpt.GetLastResult(), -1) << c.what;
    }
}

TEST_F(DptTest, LayoutThatCannotBeHadFails) {
    auto& dev = p.AddDevice("/dev/sdb", 300000);
    dev.layoutFails = true;
    auto disk = Open("/dev/sdb");
    CDpt dpt(disk.get());
    EXPECT_EQ(dpt.LoadPartition(), -1);

    dev.layoutFails = false;
    dev.layout.assign(kMaxLayoutEntries + 1, fake::EmptySlot());
    EXPECT_EQ(dpt.LoadPartition(), -1) << "more entries than the layout holds";

    dev.layout.assign(kMaxLayoutEntries, fake::EmptySlot());
    EXPECT_EQ(dpt.LoadPartition(), 1);

    dev.denyAll = true;
    EXPECT_EQ(dpt.LoadPartition(), -1) << "disk that cannot be opened";

    CDpt none(nullptr);
    EXPECT_EQ(none.LoadPartition(), -1);
}

TEST_F(DptTest, FileSystemFromTypeAndBootSector) {
    auto& dev = p.AddDevice("/dev/sdb", 2000000);
    dev.layout = {Primary(1, 0x07, 2048, 100000), Primary(2, 0x0B, 102048, 100000),
                  Primary(3, 0x06, 202048, 100000), Primary(4, 0x0F, 302048, 1000000),
                  Logical(5, 0x0C, 302048, 304096, 100000), fake::Entry(0x05, 404096, 100000, 102048, 0),
                  Logical(6, 0x83, 404096, 406144, 100000), fake::Entry(0x05, 506144, 100000, 204096, 0),
                  Logical(7, 0x07, 506144, 508192, 100000), fake::Entry(0x05, 608192, 100000, 306144, 0),
                  Logical(8, 0x07, 608192, 610240, 100000)};
    dev.disk->Sector(2048) = fake::BootSector("FAT32");    // 0x07 holding FAT32 -> 11
    /* 102048 left all zeros */                             // 0x0B, no boot sector -> 255
    dev.disk->Sector(202048) = fake::BootSector("FAT16");  // 0x06 holding FAT16 -> 6
    dev.disk->Sector(304096) = fake::BootSector("FAT16");  // 0x0C holding FAT16 -> 6: the boot sector decides
    dev.disk->Sector(406144) = fake::BootSector("NTFS");   // 0x83 holding NTFS -> 7
    dev.disk->Sector(508192) = fake::BootSector("NTFS");   // unreadable -> 255
    dev.disk->bad.insert(508192);
    dev.disk->Sector(610240) = fake::BootSector("other");  // valid, unknown: the type's 7 stays
    auto disk = Open("/dev/sdb");
    CDpt dpt(disk.get());
    ASSERT_GT(dpt.LoadPartition(), 0);
    std::map<int, int> fs;
    for (auto& r : Rows(dpt))
        if (r.no) fs[r.no] = r.fs;
    EXPECT_EQ(fs[1], 11);
    EXPECT_EQ(fs[2], 255);
    EXPECT_EQ(fs[3], 6);
    EXPECT_EQ(fs[4], 5);
    EXPECT_EQ(fs[5], 6);
    EXPECT_EQ(fs[6], 7);
    EXPECT_EQ(fs[7], 255);
    EXPECT_EQ(fs[8], 7);
}

TEST_F(DptTest, OnlyTheFirstFlaggedBootRecordEntryIsActive) {
    auto& dev = p.AddDevice("/dev/sdb", 1000000);
    dev.layout = {Primary(1, 0x07, 2048, 100000), Primary(2, 0x07, 102048, 100000),
                  Primary(3, 0x07, 202048, 100000), fake::EmptySlot()};
    fake::MbrEntry(*dev.disk, 0, 0x00, 0x07, 2048, 100000);
    fake::MbrEntry(*dev.disk, 1, 0x80, 0x07, 102048, 100000);
    fake::MbrEntry(*dev.disk, 2, 0x80, 0x07, 202048, 100000);
    auto disk = Open("/dev/sdb");
    CDpt dpt(disk.get());
    ASSERT_EQ(dpt.LoadPartition(), 4);
    auto& list = dpt.GetParList();
    EXPECT_EQ(list[0]->IsActive(), 0);
    EXPECT_EQ(list[1]->IsActive(), 1);
    ParInfor r;
    list[1]->GetInfor(r);
    EXPECT_EQ(r.State & PARSTATE_ACTIVE, PARSTATE_ACTIVE);
    EXPECT_EQ(list[2]->IsActive(), 0) << "a second flagged entry is ignored";

    uint64_t start = 7, count = 7;
    EXPECT_EQ(GetDiskActivePar("/dev/sdb", start, count), 0);
    EXPECT_EQ(start, 102048u);
    EXPECT_EQ(count, 100000u);
    EXPECT_EQ(GetDiskActivePar("/dev/none", start, count), -1);
}

TEST_F(DptTest, ActiveEntryMustMatchStartAndSize) {
    auto& dev = p.AddDevice("/dev/sdb", 1000000);
    dev.layout = {Primary(1, 0x07, 2048, 100000)};
    fake::MbrEntry(*dev.disk, 0, 0x80, 0x07, 2048, 99999);
    auto disk = Open("/dev/sdb");
    CDpt dpt(disk.get());
    ASSERT_EQ(dpt.LoadPartition(), 2);
    EXPECT_EQ(dpt.GetParList()[0]->IsActive(), 0);

    uint64_t start = 0, count = 0;
    dev.disk->sectors.clear();
    EXPECT_EQ(GetDiskActivePar("/dev/sdb", start, count), 0);
    EXPECT_EQ(start, 0u) << "no flagged entry leaves the outputs alone";
}

TEST_F(DptTest, DisksOfLargerSectorsCountIn512ByteUnits) {
    // A 4096-byte-sector disk: the boot record counts 4096-byte sectors, the
    // layout gives bytes, and the list must speak 512-byte sectors throughout.
    auto& dev = p.AddDevice("/dev/sdb", 8 * 100000);
    dev.geometry.BytesPerSector = 4096;
    dev.layout = {fake::Entry(0x07, 8 * 256, 8 * 50000, 256, 1)};
    fake::MbrEntry(*dev.disk, 0, 0x80, 0x07, 256, 50000);
    dev.disk->Sector(8 * 256) = fake::BootSector("NTFS");
    auto disk = Open("/dev/sdb");
    EXPECT_EQ(disk->GetTotalSectors(), 800000u);
    EXPECT_EQ(disk->GetBytesPerSector(), 4096);
    CDpt dpt(disk.get());
    ASSERT_EQ(dpt.LoadPartition(), 2) << Text(Rows(dpt));
    auto& par = dpt.GetParList()[0];
    EXPECT_EQ(par->GetOff(), 2048u);
    EXPECT_EQ(par->GetLen(), 400000u);
    EXPECT_EQ(par->GetHiddenSec(), 2048u);
    EXPECT_EQ(par->GetType(), PAR_PRIMARY);
    EXPECT_EQ(par->IsActive(), 1);
    EXPECT_EQ(par->GetFs(), FS_NTFS);
}

TEST_F(DptTest, PartitionsLearnTheirVolumesAndKernelNames) {
    auto& dev = p.AddDevice("/dev/nvme0n1", 1000000);
    dev.layout = {Primary(1, 0x0C, 2048, 100000), Primary(2, 0x05, 102048, 200000), fake::EmptySlot(),
                  fake::EmptySlot(), Logical(5, 0x07, 102048, 104096, 100000)};
    auto disk = Open("/dev/nvme0n1", 2);
    // The table is refreshed on every load: a volume mounted since is seen.
    CVolMgr::Instance().EnumVols();
    p.volumes.push_back({"/dev/nvme0n1p5", "/media/x", 104096ull * 512, 100000ull * 512, 2});
    p.freeBytes["/media/x"] = 4096 * 512;
    p.labels["/dev/nvme0n1p5"] = "PHOTOS";
    CDpt dpt(disk.get());
    ASSERT_GT(dpt.LoadPartition(), 0);
    std::map<int, CPartition*> byNo;
    for (auto& par : dpt.GetParList()) byNo[par->GetPartNo()] = par.get();
    EXPECT_EQ(byNo[1]->GetKernelName(), "nvme0n1p1");
    EXPECT_EQ(byNo[1]->GetDevName(), "/dev/hdc1");
    EXPECT_EQ(byNo[1]->GetDriveRoot(), "");
    EXPECT_EQ(byNo[2]->GetKernelName(), "nvme0n1p2");
    EXPECT_EQ(byNo[2]->GetDevName(), "") << "a container has no DevName";
    EXPECT_EQ(byNo[5]->GetKernelName(), "nvme0n1p5");
    EXPECT_EQ(byNo[5]->GetVolumeName(), "/dev/nvme0n1p5");
    EXPECT_EQ(byNo[5]->GetDriveRoot(), "/media/x");
    EXPECT_EQ(byNo[5]->GetFreeSec(), 4096u);
    EXPECT_EQ(byNo[5]->GetVolLabel(), "PHOTOS");
    EXPECT_EQ(byNo[5]->GetDisk(), disk.get());
    EXPECT_EQ(byNo[0]->GetKernelName(), "") << "gaps have no kernel name";
    p.volumes.clear();
    CVolMgr::Instance().EnumVols();
}

// --- FillGaps and AddGaps directly -------------------------------------------

TEST_F(DptTest, FillGapsOrdersEqualStartsPrimaryLevelFirst) {
    p.AddDevice("/dev/sdb", 1000000);
    auto disk = Open("/dev/sdb");
    CDpt dpt(disk.get());
    PartitionList list;
    auto add = [&](int type, int fs, uint64_t off, uint64_t len, int no) {
        auto par = std::make_unique<CPartition>(disk.get());
        ParInfor r;
        r.Off = off;
        r.Len = len;
        r.Type = type;
        r.Fs = fs;
        r.PartNo = no;
        par->SetInfor(r);
        list.push_back(std::move(par));
    };
    // Given out of order: a logical partition first, then the container.
    add(PAR_LOGICAL, 7, 600000, 100000, 5);
    add(PAR_EXTENDED, 5, 500000, 500000, 2);
    add(PAR_PRIMARY, 7, 2048, 400000, 1);
    ASSERT_EQ(dpt.FillGaps(list, 1000000, 500000, 500000), 6);
    std::vector<std::pair<uint64_t, int>> got;
    for (auto& par : list) got.push_back({par->GetOff(), par->GetType()});
    std::vector<std::pair<uint64_t, int>> want = {{2048, 0},   {402048, 0}, {500000, 1},
                                                  {500000, 2}, {600000, 2}, {700000, 2}};
    EXPECT_EQ(got, want);
}

TEST_F(DptTest, AddGapsRejectsOverlapAndAddsNothing) {
    p.AddDevice("/dev/sdb", 1000000);
    auto disk = Open("/dev/sdb");
    CDpt dpt(disk.get());
    PartitionList list;
    list.push_back(CDpt::MakeFreeEntry(PAR_PRIMARY, disk.get(), 0, 100000));
    list.push_back(CDpt::MakeFreeEntry(PAR_PRIMARY, disk.get(), 50000, 100000));
    EXPECT_EQ(dpt.AddGaps(0, 1000000, list), -1);
    EXPECT_EQ(list.size(), 2u);

    PartitionList empty;
    EXPECT_EQ(dpt.AddGaps(0, 1000000, empty), 0);
    EXPECT_TRUE(empty.empty());

    auto gap = CDpt::MakeFreeEntry(PAR_EXTENDED, disk.get(), 10, 20);
    EXPECT_EQ(gap->GetType(), PAR_PRIMARY) << "a gap next to the container is a primary-level gap";
    EXPECT_EQ(gap->GetFs(), FS_UNALLOCATED);
}

}  // namespace

// --- on images made with sfdisk ----------------------------------------------


namespace {

using DptImageTest = ImageDiskTest;

struct Listed {
    uint64_t off, len;
    int type, fs, no;
    bool operator==(const Listed&) const = default;
};

std::vector<Listed> List(CDisk* disk) {
    std::vector<Listed> rows;
    if (!disk) return rows;
    for (int i = 0; i < disk->LoadPartition(); ++i) {
        CPartition* p = disk->GetPartition(i);
        rows.push_back({p->GetOff(), p->GetLen(), p->GetType(), p->GetFs(), p->GetPartNo()});
    }
    return rows;
}

std::string Show(const std::vector<Listed>& rows) {
    std::string s;
    for (auto& r : rows)
        s += std::to_string(r.off) + "+" + std::to_string(r.len) + " type " + std::to_string(r.type) + " fs " +
             std::to_string(r.fs) + " #" + std::to_string(r.no) + "\n";
    return s;
}

TEST_F(DptImageTest, EmptyTableIsOneUnallocatedEntry) {
    std::string img = Make("empty.img", 64, "label: dos\n");
    auto rows = List(LoadOne(img));
    std::vector<Listed> want = {{0, 131072, PAR_PRIMARY, FS_UNALLOCATED, 0}};
    EXPECT_EQ(rows, want) << Show(rows);
}

TEST_F(DptImageTest, PartitionsAt63And2048HaveNoLeadingGap) {
    for (int start : {63, 2048}) {
        std::string img = Make("p" + std::to_string(start) + ".img", 64,
                               "label: dos\nstart=" + std::to_string(start) + ", size=100000, type=c\n");
        auto rows = List(LoadOne(img));
        ASSERT_EQ(rows.size(), 2u) << Show(rows);
        EXPECT_EQ(rows[0], (Listed{static_cast<uint64_t>(start), 100000, PAR_PRIMARY, FS_UNKNOWN, 1}));
        EXPECT_EQ(rows[1], (Listed{start + 100000u, 131072 - start - 100000u, PAR_PRIMARY, FS_UNALLOCATED, 0}));
    }
}

TEST_F(DptImageTest, EmptyExtendedContainerHoldsOneLogicalGap) {
    std::string img = Make("ext.img", 64,
                           "label: dos\nstart=2048, size=40960, type=7\nstart=43008, size=20000, type=5\n");
    auto rows = List(LoadOne(img));
    std::vector<Listed> want = {{2048, 40960, PAR_PRIMARY, FS_UNKNOWN, 1},
                                {43008, 20000, PAR_EXTENDED, FS_EXTENDED, 2},
                                {43008, 20000, PAR_LOGICAL, FS_UNALLOCATED, 0},
                                {63008, 131072 - 63008, PAR_PRIMARY, FS_UNALLOCATED, 0}};
    EXPECT_EQ(rows, want) << Show(rows);
}

TEST_F(DptImageTest, FileSystemCodesFromBootSectorsMadeByMkfs) {
    if (!testutil::HaveTool("mkfs.fat")) GTEST_SKIP() << "mkfs.fat is missing";
    std::string img = Make("fs.img", 160,
                           "label: dos\n"
                           "start=2048, size=81920, type=7\n"     // holds FAT32 -> 11
                           "start=104448, size=20480, type=6\n"   // holds FAT16 -> 6
                           "start=124928, size=20480, type=c\n"   // holds FAT16 -> 6, whatever the type says
                           "start=145408, size=40960, type=5\n"
                           "start=147456, size=8192, type=1\n"    // holds FAT12 -> 1
                           "start=157696, size=8192, type=7\n");  // holds exFAT -> exFAT, not NTFS
    ASSERT_EQ(testutil::Run("mkfs.fat -F 32 -s 1 --offset=2048 '" + img + "' 40960 >/dev/null 2>&1"), 0);
    ASSERT_EQ(testutil::Run("mkfs.fat -F 16 -s 1 --offset=104448 '" + img + "' 10240 >/dev/null 2>&1"), 0);
    ASSERT_EQ(testutil::Run("mkfs.fat -F 16 -s 1 --offset=124928 '" + img + "' 10240 >/dev/null 2>&1"), 0);
    ASSERT_EQ(testutil::Run("mkfs.fat -F 12 -s 4 --offset=147456 '" + img + "' 4096 >/dev/null 2>&1"), 0);
    const bool exfat = testutil::HaveTool("mkfs.exfat");
    if (exfat) {
        const std::string part = img + ".exfat";
        ASSERT_EQ(testutil::Run("truncate -s 4M '" + part + "' && mkfs.exfat '" + part + "' >/dev/null && dd if='" + part +
                                "' of='" + img + "' bs=512 seek=157696 conv=notrunc status=none"),
                  0);
    }
    CDisk* disk = LoadOne(img);
    ASSERT_NE(disk, nullptr);
    ASSERT_NE(disk->FindPartition(6), nullptr) << Show(List(disk));
    EXPECT_EQ(disk->FindPartition(1)->GetFs(), FS_FAT32);
    EXPECT_EQ(disk->FindPartition(2)->GetFs(), FS_FAT16);
    EXPECT_EQ(disk->FindPartition(3)->GetFs(), FS_FAT16);
    EXPECT_EQ(disk->FindPartition(5)->GetFs(), FS_FAT12);
    if (exfat) {
        EXPECT_EQ(disk->FindPartition(6)->GetFs(), FS_EXFAT);
    }
    EXPECT_EQ(disk->FindPartition(1)->GetKernelName(), "fs.img#1");
    EXPECT_EQ(disk->FindPartition(1)->GetDevName(), "/dev/hda1");
}

TEST_F(DptImageTest, LogicalPartitionsMatchTheSleuthKit) {
    if (!testutil::HaveTool("mmls")) GTEST_SKIP() << "mmls is missing";
    std::string img = Make("logical.img", 256,
                           "label: dos\n"
                           "start=2048, size=100000, type=c\n"
                           "start=102400, size=300000, type=f\n"
                           "start=104448, size=50000, type=7\n"
                           "start=200000, size=60000, type=83\n");
    CDisk* disk = LoadOne(img);
    ASSERT_NE(disk, nullptr);
    // Every partition mmls lists (not its tables, not its unallocated runs)
    // appears with the same start and length.
    std::string out = testutil::Capture("mmls -B '" + img + "' | awk '$2 ~ /^[0-9]+:[0-9]+$/ {print $3+0, $5+0}'");
    std::set<std::pair<uint64_t, uint64_t>> oracle, ours;
    std::istringstream in(out);
    for (uint64_t s, l; in >> s >> l;) oracle.insert({s, l});
    ASSERT_EQ(oracle.size(), 3u) << out;
    for (auto& r : List(disk))
        if (r.no > 0 && r.fs != FS_EXTENDED) ours.insert({r.off, r.len});
    EXPECT_EQ(ours, oracle) << Show(List(disk));
    ASSERT_NE(disk->FindPartition(6), nullptr);
    EXPECT_EQ(disk->FindPartition(6)->GetType(), PAR_LOGICAL);
    EXPECT_EQ(disk->FindPartition(6)->GetKernelName(), "logical.img#6");
    EXPECT_EQ(disk->FindPartition(6)->GetHiddenSec(), 2048u);
}

TEST_F(DptImageTest, OverlappingOrOutsidePartitionsMakeABadTable) {
    struct Case {
        const char* what;
        int slot, field;
        uint32_t value;
    } cases[] = {
        {"second partition starts inside the first", 1, 8, 50000},
        {"first partition runs past the end of the disk", 0, 12, 200000},
        {"second partition starts past the end of the disk", 1, 8, 500000},
    };
    for (const Case& c : cases) {
        std::string img = Make("bad.img", 64, "label: dos\nstart=2048, size=60000, type=c\nstart=62048, size=60000, type=7\n");
        PatchU32(img, EntryField(0, c.slot, c.field), c.value);
        LogCapture log;
        CDisk* disk = LoadOne(img);
        ASSERT_NE(disk, nullptr);
        EXPECT_NE(log.Text().find("CDisk::LoadPartition(): Dpt loadpartition() failed."), std::string::npos)
            << c.what;
        CDpt dpt(disk);
        EXPECT_EQ(dpt.LoadPartition(), -1) << c.what;
        ASSERT_EQ(disk->LoadPartition(), 1) << c.what;
        EXPECT_EQ(disk->GetPartition(0)->GetVolLabel(), "Bad DPT Disk") << c.what;
        EXPECT_EQ(disk->GetPartition(0)->GetFs(), FS_WHOLE_DISK);
        EXPECT_EQ(disk->GetPartition(0)->GetLen(), 131072u);
        EXPECT_EQ(disk->GetState() & DISKSTATE_BAD_DPT, DISKSTATE_BAD_DPT);
    }
}

TEST_F(DptImageTest, LoopingExtendedChainEndsWithThePartitionsFound) {
    std::string img = Make("loop.img", 256,
                           "label: dos\n"
                           "start=2048, size=400000, type=5\n"
                           "start=4096, size=50000, type=7\n"
                           "start=100000, size=60000, type=7\n");
    // The second extended boot record (the last) is made to link back to the first.
    uint64_t secondEbr = 100000 - 2048;  // sfdisk puts each record 2048 sectors before its partition
    PatchU8(img, EntryField(secondEbr, 1, 4), 0x05);
    PatchU32(img, EntryField(secondEbr, 1, 8), 0);
    PatchU32(img, EntryField(secondEbr, 1, 12), 2048);
    LogCapture log;
    CDisk* disk = LoadOne(img);
    ASSERT_NE(disk, nullptr);
    EXPECT_NE(log.Text().find("loop in the extended partition chain"), std::string::npos);
    auto rows = List(disk);
    int fives = 0, sixes = 0;
    for (auto& r : rows) {
        fives += r.no == 5;
        sixes += r.no == 6;
    }
    EXPECT_EQ(fives, 1) << Show(rows);
    EXPECT_EQ(sixes, 1) << Show(rows);
    EXPECT_EQ(disk->FindPartition(6)->GetOff(), 100000u);
}

TEST_F(DptImageTest, DiskFormattedWithoutATableIsOneVolume) {
    if (!testutil::HaveTool("mkfs.fat")) GTEST_SKIP() << "mkfs.fat is missing";
    std::string img = Make("floppy.img", 64, "");
    ASSERT_EQ(testutil::Run("mkfs.fat -F 32 -s 1 '" + img + "' >/dev/null 2>&1"), 0);
    CDisk* disk = LoadOne(img);
    ASSERT_NE(disk, nullptr);
    auto rows = List(disk);
    ASSERT_EQ(rows.size(), 1u) << Show(rows);
    EXPECT_EQ(rows[0], (Listed{0, 131072, PAR_PRIMARY, FS_FAT32, 0}));
    EXPECT_EQ(disk->GetPartition(0)->GetKernelName(), "floppy.img");
}

// ---- GPT disks ----

TEST_F(DptImageTest, GptPartitionsAreRowsWithFileSystemsNamesAndGaps) {
    if (!testutil::HaveTool("sgdisk") || !testutil::HaveTool("mkfs.fat") || !testutil::HaveTool("mkntfs") ||
        !testutil::HaveTool("mmls"))
        GTEST_SKIP() << "gdisk, dosfstools, ntfs-3g or sleuthkit missing";
    std::string img = Make("gpt.img", 160, "");
    // Slot 4 stays empty: the last partition keeps the kernel's number 5.
    ASSERT_EQ(testutil::Run("sgdisk -n 1:2048:+40M -t 1:ef00 -c 1:'EFI system partition' "
                            "-n 2:0:+40M -t 2:0700 -c 2:'Fotos' -n 3:0:+10M -t 3:8300 -c 3:'scratch' "
                            "-n 5:198656:+16M -t 5:0c01 -c 5:'Microsoft reserved' '" + img + "' >/dev/null"),
              0);
    // FAT32 with a label in partition 1, NTFS without one in partition 2.
    ASSERT_EQ(testutil::Run("mkfs.fat -F 32 -s 1 -n CAMERA --offset=2048 '" + img + "' 40960 >/dev/null 2>&1"), 0);
    const std::string ntfs = dir / "ntfs.part";
    ASSERT_EQ(testutil::Run("truncate -s 40M '" + ntfs + "' && mkntfs -F -Q -q '" + ntfs + "' >/dev/null 2>&1 && "
                            "dd if='" + ntfs + "' of='" + img + "' bs=512 seek=83968 conv=notrunc status=none"),
              0);
    CDisk* disk = LoadOne(img);
    ASSERT_NE(disk, nullptr);
    EXPECT_EQ(disk->GetParStyle(), PARSTYLE_GPT);
    EXPECT_EQ(disk->GetState(), 0);
    auto rows = List(disk);
    const uint64_t total = 160 * 2048;
    std::vector<Listed> want = {{2048, 81920, PAR_PRIMARY, FS_FAT32, 1},
                                {83968, 81920, PAR_PRIMARY, FS_NTFS, 2},
                                {165888, 20480, PAR_PRIMARY, FS_UNKNOWN, 3},
                                // 12288 sectors before it: less than a cylinder, no gap row
                                {198656, 32768, PAR_PRIMARY, FS_UNKNOWN, 5},
                                {231424, total - 231424, PAR_PRIMARY, FS_UNALLOCATED, 0}};
    EXPECT_EQ(rows, want) << Show(rows);

    // Every partition mmls lists, with its start and length.
    std::string out = testutil::Capture("mmls -B '" + img + "' | awk '$2 ~ /^[0-9]+$/ {print $3+0, $5+0}'");
    std::set<std::pair<uint64_t, uint64_t>> oracle, ours;
    std::istringstream in(out);
    for (uint64_t st, l; in >> st >> l;) oracle.insert({st, l});
    ASSERT_EQ(oracle.size(), 4u) << out;
    for (auto& r : rows)
        if (r.no > 0) ours.insert({r.off, r.len});
    EXPECT_EQ(ours, oracle) << Show(rows);

    // Labels: the file system's own, else the partition's GPT name.
    EXPECT_EQ(disk->FindPartition(1)->GetVolLabel(), "CAMERA");
    EXPECT_EQ(disk->FindPartition(2)->GetVolLabel(), "Fotos");
    EXPECT_EQ(disk->FindPartition(3)->GetVolLabel(), "scratch");
    ASSERT_NE(disk->FindPartition(5), nullptr) << Show(rows);
    EXPECT_EQ(disk->FindPartition(5)->GetFs(), FS_UNKNOWN);
    EXPECT_EQ(disk->FindPartition(5)->GetKernelName(), "gpt.img#5");
    EXPECT_EQ(disk->FindPartition(5)->GetHiddenSec(), disk->FindPartition(5)->GetOff());
}

TEST_F(DptImageTest, AGptBothOfWhoseCopiesAreDamagedIsOneWholeDiskRow) {
    if (!testutil::HaveTool("sgdisk")) GTEST_SKIP() << "gdisk missing";
    std::string img = Make("bad.img", 64, "");
    ASSERT_EQ(testutil::Run("sgdisk -n 1:2048:+20M '" + img + "' >/dev/null"), 0);
    ASSERT_TRUE(testutil::FlipByte(img, 512 + 16));                 // primary header CRC
    ASSERT_TRUE(testutil::FlipByte(img, (131072 - 1) * 512 + 16));  // backup header CRC
    LogCapture log;
    CDisk* disk = LoadOne(img);
    ASSERT_NE(disk, nullptr);
    EXPECT_NE(log.Text().find("backup GPT is damaged too"), std::string::npos);
    auto rows = List(disk);
    ASSERT_EQ(rows.size(), 1u) << Show(rows);
    EXPECT_EQ(rows[0], (Listed{0, 131072, PAR_PRIMARY, FS_WHOLE_DISK, 0}));
    EXPECT_EQ(disk->GetPartition(0)->GetVolLabel(), "Bad DPT Disk");
    EXPECT_EQ(disk->GetState() & DISKSTATE_BAD_DPT, DISKSTATE_BAD_DPT);

    // With the backup whole again the partition is back.
    ASSERT_EQ(testutil::Run("sgdisk -n 1:2048:+20M '" + img + "' >/dev/null"), 0);
    ASSERT_TRUE(testutil::FlipByte(img, 512 + 16));
    rows = List(LoadOne(img));
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows[0], (Listed{2048, 40960, PAR_PRIMARY, FS_UNKNOWN, 1})) << Show(rows);
}

}  // namespace
