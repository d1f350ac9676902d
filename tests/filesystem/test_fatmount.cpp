#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "filesystem/fatmount.h"
#include "io/deviceio.h"
#include "io/le.h"
#include "io/log.h"
#include "io/platform/memory_handle.h"
#include "testutil.h"

using namespace testutil;

namespace {

// A partition as a sector device over any handle; records every read and
// counts failed reads as 0 sectors (no tolerant retry), so a short FAT read
// shows.
class HandleDevice : public IDevice {
public:
    HandleDevice(DevHandle h, uint64_t base) : m_h(std::move(h)), m_base(base) {}
    int Open(const std::string&) override { return 0; }
    void Close() override {}
    uint64_t ReadSectors(uint64_t lba, uint64_t count, void* buffer) override {
        reads.emplace_back(lba, count);
        return static_cast<uint64_t>(DeviceReadSectorsEx(m_h.get(), m_base + lba, count, buffer));
    }
    uint64_t WriteSectors(uint64_t, uint64_t, const void*) override { return 0; }
    std::vector<std::pair<uint64_t, uint64_t>> reads;

private:
    DevHandle m_h;
    uint64_t m_base;
};

// Sends the log to a file for the life of the object.
class LogCapture {
public:
    LogCapture() : m_path(m_dir / "test.log") { OpenLogFile(m_path.c_str()); }
    ~LogCapture() { OpenLogFile("/dev/null"); }
    std::string Text() const {
        auto b = ReadFileBytes(m_path);
        return std::string(b.begin(), b.end());
    }

private:
    TempDir m_dir;
    std::string m_path;
};

struct Geometry {
    uint16_t bytesPerSector = 512;
    uint8_t sectorsPerCluster = 1;
    uint16_t reserved = 32;
    uint8_t fats = 2;
    uint32_t sectorsPerFat = 4;
    uint32_t totalSectors = 0;  // 0: first data sector + 400
    uint32_t rootCluster = 2;
    // FAT12/16: a fixed root folder of this many entries, and the sizes in
    // the 16-bit fields where they fit.
    uint16_t rootEntries = 0;
    bool sixteenBit = false;
};

std::vector<uint8_t> MakeBootRecord(const Geometry& g) {
    std::vector<uint8_t> s(512, 0);
    s[0] = 0xEB; s[1] = 0x58; s[2] = 0x90;
    le::put16(s, 11, g.bytesPerSector);
    s[13] = g.sectorsPerCluster;
    le::put16(s, 14, g.reserved);
    s[16] = g.fats;
    le::put16(s, 24, 63);
    le::put16(s, 26, 255);
    le::put32(s, 28, 2048);
    uint32_t total = g.totalSectors ? g.totalSectors
                                    : g.reserved + g.fats * g.sectorsPerFat + (g.rootEntries * 32u + 511) / 512 + 400;
    if (g.sixteenBit) {
        le::put16(s, 17, g.rootEntries);
        if (total <= 0xFFFF) le::put16(s, 19, static_cast<uint16_t>(total)); else le::put32(s, 32, total);
        le::put16(s, 22, static_cast<uint16_t>(g.sectorsPerFat));
    } else {
        le::put32(s, 32, total);
        le::put32(s, 36, g.sectorsPerFat);
        le::put32(s, 44, g.rootCluster);
    }
    le::put16(s, 50, 6);
    s[510] = 0x55; s[511] = 0xAA;
    return s;
}

// A volume in memory holding the boot record and the first FAT (the data
// area is never read by a mount). `fat` fills the start of the first FAT.
struct MemVolume {
    std::shared_ptr<std::vector<uint8_t>> bytes;
    CMemoryHandle* handle = nullptr;  // owned by the device
    std::unique_ptr<HandleDevice> device;

    MemVolume(const Geometry& g, const std::vector<uint32_t>& fat = {}) {
        // Absurd FAT sizes are only ever rejected, never read: keep the image small.
        size_t fatSectors = std::min<size_t>(g.sectorsPerFat, 2 * FAT32_READ_CHUNK);
        bytes = std::make_shared<std::vector<uint8_t>>((size_t{g.reserved} + fatSectors + 1) * 512, 0);
        if (g.reserved > 0)
            for (size_t i = 0; i < fat.size(); ++i) le::put32(*bytes, size_t{g.reserved} * 512 + i * 4, fat[i]);
        auto dbr = MakeBootRecord(g);
        std::copy(dbr.begin(), dbr.end(), bytes->begin());
        auto h = std::make_unique<CMemoryHandle>(bytes, true);
        handle = h.get();
        device = std::make_unique<HandleDevice>(std::move(h), 0);
    }
};

// The same table, as one chain 2 -> 3 -> 4 (end) and cluster 6 with the top
// nibble set around the value 5, cluster 7 with only a top-nibble bit.
const std::vector<uint32_t> kSmallFat = {0x0FFFFFF8, 0x0FFFFFFF, 3, 4, 0x0FFFFFFF, 0, 0xF0000005, 0x10000000};

// ---- Boot record accessors and arithmetic ----

TEST(Fat32BootRecord, FieldsSettersAndArithmetic) {
    Geometry g;
    g.sectorsPerCluster = 8;
    g.reserved = 38;
    g.fats = 2;
    g.sectorsPerFat = 1000;
    g.totalSectors = 100000;
    g.rootCluster = 5;
    auto raw = MakeBootRecord(g);
    FAT32_DBR_Buff dbr;
    EXPECT_EQ(dbr.GetRaw(), nullptr);
    EXPECT_EQ(dbr.GetSectorsPerFat(), 0u);
    const uint8_t* copy = dbr.Load(raw.data());
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, raw.data());
    raw[13] = 99;  // the holder keeps its own copy
    EXPECT_EQ(dbr.GetBytesPerSector(), 512);
    EXPECT_EQ(dbr.GetSectorsPerCluster(), 8);
    EXPECT_EQ(dbr.GetReservedSectors(), 38);
    EXPECT_EQ(dbr.GetFatCount(), 2);
    EXPECT_EQ(dbr.GetSectorsPerFat(), 1000u);
    EXPECT_EQ(dbr.GetRootCluster(), 5u);
    EXPECT_EQ(dbr.GetHiddenSectors(), 2048u);
    EXPECT_EQ(dbr.GetTotalSectors(), 100000u);
    EXPECT_EQ(dbr.GetHeads(), 255);
    EXPECT_EQ(dbr.GetBackupBootSector(), 6);

    EXPECT_EQ(dbr.GetFirstDataSector(), 2038u);
    EXPECT_EQ(dbr.GetClusterCount(), (100000u - 2038u) / 8);
    EXPECT_EQ(dbr.ClusterToSector(2), 2038u);
    EXPECT_EQ(dbr.ClusterToSector(10), 2038u + 64);
    EXPECT_EQ(ClusterToSector(dbr.GetRaw(), 10), 2038u + 64);
    uint32_t c = 77, o = 77;
    EXPECT_EQ(dbr.SectorToCluster(2038, c, o), 0);
    EXPECT_EQ(c, 2u);
    EXPECT_EQ(o, 0u);
    EXPECT_EQ(dbr.SectorToCluster(2038 + 8 * 3 + 5, c, o), 0);
    EXPECT_EQ(c, 5u);
    EXPECT_EQ(o, 5u);
    EXPECT_EQ(dbr.SectorToCluster(2037, c, o), -1);
    EXPECT_EQ(c, 0u);
    EXPECT_EQ(o, 0u);

    dbr.SetSectorsPerCluster(16);
    dbr.SetSectorsPerFat(0x01020304);
    dbr.SetFatCount(1);
    dbr.SetTotalSectors(0xA0B0C0D0);
    dbr.SetHiddenSectors(63);
    dbr.SetReservedSectors(0x1234);
    dbr.SetRootCluster(0x0ABCDEF0);
    dbr.SetBackupBootSector(7);
    dbr.SetBytesPerSector(4096);
    dbr.SetHeads(16);
    dbr.SetSectorsPerTrack(32);
    const uint8_t* r = dbr.GetRaw();
    EXPECT_EQ(r[13], 16);
    EXPECT_EQ(r[36], 0x04); EXPECT_EQ(r[39], 0x01);
    EXPECT_EQ(r[16], 1);
    EXPECT_EQ(r[32], 0xD0); EXPECT_EQ(r[35], 0xA0);
    EXPECT_EQ(r[28], 63);
    EXPECT_EQ(r[14], 0x34); EXPECT_EQ(r[15], 0x12);
    EXPECT_EQ(r[44], 0xF0); EXPECT_EQ(r[47], 0x0A);
    EXPECT_EQ(r[50], 7);
    EXPECT_EQ(r[11], 0x00); EXPECT_EQ(r[12], 0x10);
    EXPECT_EQ(r[26], 16);
    EXPECT_EQ(r[24], 32);
    EXPECT_EQ(r[510], 0x55);  // untouched

    dbr.ReleaseCopy();
    EXPECT_EQ(dbr.GetRaw(), nullptr);
    EXPECT_EQ(dbr.GetRootCluster(), 0u);
    EXPECT_EQ(dbr.WriteTo("/nonexistent", 0), -1);
}

TEST(Fat32BootRecord, ClusterCountIsZeroWhenTotalsLeaveNoDataArea) {
    Geometry g;
    g.totalSectors = 20;  // below reserved + FATs
    auto raw = MakeBootRecord(g);
    FAT32_DBR_Buff dbr;
    dbr.Load(raw.data());
    EXPECT_EQ(dbr.GetClusterCount(), 0u);
}

// FAT12/16 keep their sizes in 16-bit fields and a fixed root folder after
// the FATs; the data area starts past it. The setters keep the 16-bit form
// while the value fits.
TEST(Fat32BootRecord, SixteenBitFieldsAndTheFixedRootFolder) {
    Geometry g;
    g.sixteenBit = true;
    g.reserved = 1;
    g.sectorsPerFat = 20;
    g.rootEntries = 512;
    g.sectorsPerCluster = 4;
    g.totalSectors = 1 + 40 + 32 + 4 * 5000;
    auto raw = MakeBootRecord(g);
    FAT32_DBR_Buff dbr;
    ASSERT_NE(dbr.Load(raw.data()), nullptr);
    EXPECT_EQ(dbr.GetTotalSectors(), 20073u);
    EXPECT_EQ(dbr.GetSectorsPerFat(), 20u);
    EXPECT_EQ(dbr.GetRootEntries(), 512u);
    EXPECT_EQ(dbr.GetRootDirSectors(), 32u);
    EXPECT_EQ(dbr.GetRootDirSector(), 41u);
    EXPECT_EQ(dbr.GetFirstDataSector(), 73u);
    EXPECT_EQ(dbr.GetClusterCount(), 5000u);
    EXPECT_EQ(dbr.GetFatBits(), 16u);
    EXPECT_EQ(dbr.ClusterToSector(3), 77u);
    EXPECT_EQ(ClusterToSector(dbr.GetRaw(), 3), 77u);

    dbr.SetTotalSectors(30000);
    EXPECT_EQ(le::u16(std::span<const uint8_t>(dbr.GetRaw(), 512), 19), 30000u);
    EXPECT_EQ(le::u32(std::span<const uint8_t>(dbr.GetRaw(), 512), 32), 0u);
    dbr.SetTotalSectors(70000);  // too many for 16 bits
    EXPECT_EQ(le::u16(std::span<const uint8_t>(dbr.GetRaw(), 512), 19), 0u);
    EXPECT_EQ(le::u32(std::span<const uint8_t>(dbr.GetRaw(), 512), 32), 70000u);
    EXPECT_EQ(dbr.GetTotalSectors(), 70000u);
    dbr.SetSectorsPerFat(30);
    EXPECT_EQ(le::u16(std::span<const uint8_t>(dbr.GetRaw(), 512), 22), 30u);
    EXPECT_EQ(le::u32(std::span<const uint8_t>(dbr.GetRaw(), 512), 36), 0u);

    // The entry width follows the cluster count at each border.
    const struct {
        uint32_t clusters;
        uint32_t bits;
    } borders[] = {{1, 12}, {4084, 12}, {4085, 16}, {65524, 16}, {65525, 32}};
    for (const auto& b : borders) {
        Geometry h = g;
        h.sectorsPerCluster = 1;
        h.sectorsPerFat = 256;
        h.totalSectors = 1 + 512 + 32 + b.clusters;
        auto r = MakeBootRecord(h);
        FAT32_DBR_Buff d;
        d.Load(r.data());
        EXPECT_EQ(d.GetFatBits(), b.bits) << b.clusters << " clusters";
    }
}

TEST(Fat32BootRecord, WritesItsCopyAsOneSector) {
    TempDir dir;
    std::string path = dir / "disk.img";
    ASSERT_TRUE(WriteFileBytes(path, std::vector<uint8_t>(4 * 512, 0xEE)));
    auto raw = MakeBootRecord(Geometry{});
    FAT32_DBR_Buff dbr;
    dbr.Load(raw.data());
    dbr.SetRootCluster(9);
    EXPECT_EQ(dbr.WriteTo(path, 2), 0);
    auto disk = ReadFileBytes(path);
    ASSERT_EQ(disk.size(), 4u * 512);
    EXPECT_TRUE(std::equal(disk.begin() + 1024, disk.begin() + 1536, dbr.GetRaw()));
    EXPECT_EQ(disk[1023], 0xEE);
    EXPECT_EQ(disk[1536], 0xEE);
}

// ---- Mount over hand-made volumes ----

TEST(MountFatVol, ReadsTheFirstFatAndKeepsTheStandardReservedEntries) {
    Geometry g;
    g.sectorsPerFat = 4;
    std::vector<uint32_t> fat = kSmallFat;
    fat[0] = 0x12345678;  // whatever the disk holds in entries 0 and 1
    fat[1] = 0;
    MemVolume mv(g, fat);
    auto vol = MountFatVol(mv.device.get(), 1000);
    ASSERT_TRUE(vol);
    EXPECT_EQ(vol->device, mv.device.get());
    EXPECT_EQ(vol->partitionSectors, 1000);
    EXPECT_EQ(vol->fat->fatSectors(), 4u);
    EXPECT_EQ(vol->fat->highestCluster(), 401u);  // 400 clusters, numbered from 2
    // Boot record, then the first FAT only.
    ASSERT_EQ(mv.device->reads.size(), 2u);
    EXPECT_EQ(mv.device->reads[0], std::make_pair(uint64_t{0}, uint64_t{1}));
    EXPECT_EQ(mv.device->reads[1], std::make_pair(uint64_t{32}, uint64_t{4}));

    uint32_t v = 0;
    EXPECT_EQ(vol->fat->GetEntry(0, v), -1);
    EXPECT_EQ(vol->fat->GetEntry(1, v), -1);
    EXPECT_EQ(vol->fat->GetEntry(402, v), -1);
    EXPECT_EQ(vol->fat->GetEntry(401, v), 0);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(vol->fat->GetEntry(2, v), 0);
    EXPECT_EQ(v, 3u);
    EXPECT_EQ(vol->fat->GetEntry(4, v), 0);
    EXPECT_EQ(v, 0x0FFFFFFFu);
    EXPECT_EQ(vol->fat->GetEntry(6, v), 0);
    EXPECT_EQ(v, 5u);  // top nibble masked off
    EXPECT_TRUE(vol->fat->IsFree(5));
    EXPECT_TRUE(vol->fat->IsFree(7));  // only a reserved top bit set
    EXPECT_FALSE(vol->fat->IsFree(2));
    EXPECT_FALSE(vol->fat->IsFree(0));
    EXPECT_FALSE(vol->fat->IsFree(402));

    // The table as written back: entries 0 and 1 carry the standard values.
    TempDir dir;
    std::string path = dir / "fat.img";
    ASSERT_TRUE(WriteFileBytes(path, std::vector<uint8_t>(4 * 512, 0xEE)));
    vol->fat->WriteTo(path, 0);
    auto disk = ReadFileBytes(path);
    le::Bytes b(disk);
    EXPECT_EQ(le::u32(b, 0), 0x0FFFFFF8u);
    EXPECT_EQ(le::u32(b, 4), 0xFFFFFFFFu);
    for (size_t i = 2; i < kSmallFat.size(); ++i) EXPECT_EQ(le::u32(b, i * 4), kSmallFat[i]) << i;
    EXPECT_EQ(le::u32(b, 4 * 512 - 4), 0u);
}

TEST(MountFatVol, WritesPreserveTheTopNibble) {
    Geometry g;
    MemVolume mv(g, kSmallFat);
    auto vol = MountFatVol(mv.device.get(), 0);
    ASSERT_TRUE(vol);
    FAT32_FAT_Buffer& fat = *vol->fat;
    EXPECT_EQ(fat.SetEntry(6, 9), 0);
    EXPECT_EQ(fat.SetEndOfChain(7), 0);
    EXPECT_EQ(fat.SetBad(8), 0);
    EXPECT_EQ(fat.SetFree(2), 0);
    // A next-cluster value must itself be a valid cluster; marks need not.
    EXPECT_EQ(fat.SetEntry(9, 402), -1);
    EXPECT_EQ(fat.SetEntry(9, 1), 0);
    EXPECT_EQ(fat.SetEntry(9, 0xFFFFFFF8), 0);
    EXPECT_EQ(fat.SetEntry(402, 3), -1);
    EXPECT_EQ(fat.SetEndOfChain(1), -1);
    EXPECT_EQ(fat.SetBad(402), -1);
    EXPECT_EQ(fat.SetFree(0), -1);
    uint32_t v = 0;
    fat.GetEntry(6, v);
    EXPECT_EQ(v, 9u);
    fat.GetEntry(9, v);
    EXPECT_EQ(v, FAT32_END_OF_CHAIN);
    EXPECT_TRUE(fat.IsFree(2));

    TempDir dir;
    std::string path = dir / "fat.img";
    ASSERT_TRUE(WriteFileBytes(path, std::vector<uint8_t>(4 * 512, 0)));
    fat.WriteTo(path, 0);
    auto disk = ReadFileBytes(path);
    le::Bytes b(disk);
    EXPECT_EQ(le::u32(b, 6 * 4), 0xF0000009u);
    EXPECT_EQ(le::u32(b, 7 * 4), 0x1FFFFFF8u);
    EXPECT_EQ(le::u32(b, 8 * 4), 0x0FFFFFF7u);
    EXPECT_EQ(le::u32(b, 9 * 4), 0x0FFFFFF8u);
    EXPECT_EQ(le::u32(b, 2 * 4), 0u);
}

TEST(MountFatVol, AFatOfExactlyOneChunkIsReadInOneRead) {
    Geometry g;
    g.fats = 1;
    g.sectorsPerFat = FAT32_READ_CHUNK;
    MemVolume mv(g, kSmallFat);
    auto vol = MountFatVol(mv.device.get(), 0);
    ASSERT_TRUE(vol);
    ASSERT_EQ(mv.device->reads.size(), 2u);
    EXPECT_EQ(mv.device->reads[1], std::make_pair(uint64_t{32}, uint64_t{FAT32_READ_CHUNK}));
}

TEST(MountFatVol, ALargerFatTakesASecondChunkAndHighestClusterStaysInTheTable) {
    Geometry g;
    g.fats = 1;
    g.sectorsPerFat = FAT32_READ_CHUNK + 1;
    const uint32_t entries = g.sectorsPerFat * 128;
    g.totalSectors = g.reserved + g.sectorsPerFat + entries + 50;  // more clusters than entries
    MemVolume mv(g, kSmallFat);
    // The last entry of the table, inside the second chunk.
    le::put32(*mv.bytes, (size_t{g.reserved} + g.sectorsPerFat) * 512 - 4, 0x0FFFFFFF);
    LogCapture log;
    auto vol = MountFatVol(mv.device.get(), 0);
    ASSERT_TRUE(vol);
    ASSERT_EQ(mv.device->reads.size(), 3u);
    EXPECT_EQ(mv.device->reads[1], std::make_pair(uint64_t{32}, uint64_t{FAT32_READ_CHUNK}));
    EXPECT_EQ(mv.device->reads[2], std::make_pair(uint64_t{32 + FAT32_READ_CHUNK}, uint64_t{1}));
    EXPECT_EQ(vol->fat->highestCluster(), entries - 1);
    uint32_t v = 0;
    EXPECT_EQ(vol->fat->GetEntry(entries - 1, v), 0);
    EXPECT_EQ(v, 0x0FFFFFFFu);
    EXPECT_EQ(vol->fat->GetEntry(entries, v), -1);
    EXPECT_NE(log.Text().find("clusters past the FAT are left out"), std::string::npos);
}

TEST(MountFatVol, FailsWhenTheBootRecordCannotBeRead) {
    Geometry g;
    MemVolume mv(g, kSmallFat);
    mv.handle->SetBadSectors({0});
    LogCapture log;
    EXPECT_FALSE(MountFatVol(mv.device.get(), 0));
    EXPECT_NE(log.Text().find("MountFatVol(): Fat32_GetDBR() failed. \n"), std::string::npos);
}

TEST(MountFatVol, FailsOnAShortFatRead) {
    Geometry g;
    g.fats = 1;
    g.sectorsPerFat = FAT32_READ_CHUNK + 3;
    MemVolume mv(g, kSmallFat);
    mv.handle->SetBadSectors({32 + FAT32_READ_CHUNK + 1});
    LogCapture log;
    EXPECT_FALSE(MountFatVol(mv.device.get(), 0));
    EXPECT_NE(log.Text().find("Read FAT32 FAT failed, Off:16416, Len:3 \n"), std::string::npos);
}

// One boot record per rejection rule.
TEST(MountFatVol, RejectsImpossibleGeometry) {
    struct Case {
        const char* what;
        Geometry g;
        int64_t partitionSectors;
    };
    std::vector<Case> cases;
    auto add = [&](const char* what, auto change, int64_t part = 0) {
        Geometry g;
        change(g);
        cases.push_back({what, g, part});
    };
    add("4096-byte sectors", [](Geometry& g) { g.bytesPerSector = 4096; });
    add("0 sectors per cluster", [](Geometry& g) { g.sectorsPerCluster = 0; });
    add("3 sectors per cluster", [](Geometry& g) { g.sectorsPerCluster = 3; });
    add("no reserved sectors", [](Geometry& g) { g.reserved = 0; });
    add("0 FATs", [](Geometry& g) { g.fats = 0; });
    add("5 FATs", [](Geometry& g) { g.fats = 5; });
    add("0 sectors per FAT", [](Geometry& g) { g.sectorsPerFat = 0; });
    add("2^31 sectors per FAT", [](Geometry& g) { g.sectorsPerFat = 0x80000000u; g.totalSectors = 0xFFFFFFFFu; });
    add("total below data", [](Geometry& g) { g.totalSectors = 40; });
    add("no data cluster", [](Geometry& g) { g.sectorsPerCluster = 64; g.totalSectors = 32 + 8 + 63; });
    add("FATs past the partition", [](Geometry&) {}, 39);
    auto fat16 = [](Geometry& g) {
        g.sixteenBit = true;
        g.rootEntries = 512;
    };
    add("FAT16 without a root folder", [&](Geometry& g) { fat16(g); g.rootEntries = 0; });
    add("FAT16 root folder past the end", [&](Geometry& g) { fat16(g); g.totalSectors = 32 + 8 + 20; });
    add("FAT16 root folder past the partition", fat16, 32 + 8 + 20);
    add("16-bit FAT size with FAT32's cluster count",
        [&](Geometry& g) { fat16(g); g.sectorsPerFat = 600; g.totalSectors = 32 + 1200 + 32 + 70000; });
    for (const Case& c : cases) {
        MemVolume mv(c.g, kSmallFat);
        LogCapture log;
        EXPECT_FALSE(MountFatVol(mv.device.get(), c.partitionSectors)) << c.what;
        EXPECT_NE(log.Text().find("Invalid FAT32 boot record"), std::string::npos) << c.what;
        // Nothing past the boot record was read.
        EXPECT_EQ(mv.device->reads.size(), 1u) << c.what;
    }
    // The boundary cases are accepted.
    Geometry ok;
    ok.sectorsPerCluster = 128;
    ok.fats = 4;
    ok.totalSectors = 32 + 16 + 128;
    MemVolume mv(ok, kSmallFat);
    auto vol = MountFatVol(mv.device.get(), 32 + 16 + 128);
    ASSERT_TRUE(vol);
    EXPECT_EQ(vol->fat->highestCluster(), 2u);
    // FATs ending at the partition's end leave its one cluster outside.
    vol = MountFatVol(mv.device.get(), 32 + 16);
    ASSERT_TRUE(vol);
    EXPECT_EQ(vol->fat->highestCluster(), 1u);
}

// A FAT16 volume in memory: its table is read as 16-bit entries.
TEST(MountFatVol, ReadsSixteenBitEntries) {
    Geometry g;
    g.sixteenBit = true;
    g.rootEntries = 512;
    g.sectorsPerFat = 20;
    g.totalSectors = 32 + 40 + 32 + 5000;  // 5000 clusters: FAT16
    MemVolume mv(g);
    const size_t fat = size_t{g.reserved} * 512;
    for (auto [i, v] : {std::pair{0, 0xFFF8}, {1, 0xFFFF}, {2, 5}, {5, 0xFFFF}, {6, 0xFFF7}})
        le::put16(*mv.bytes, fat + 2 * i, static_cast<uint16_t>(v));
    auto vol = MountFatVol(mv.device.get(), 0);
    ASSERT_TRUE(vol);
    EXPECT_EQ(vol->fat->entryBits(), 16u);
    EXPECT_EQ(vol->dbr->GetFirstDataSector(), 32u + 40 + 32);
    EXPECT_EQ(vol->fat->highestCluster(), 5001u);
    uint32_t v = 0;
    ASSERT_EQ(vol->fat->GetEntry(2, v), 0);
    EXPECT_EQ(v, 5u);
    ASSERT_EQ(vol->fat->GetEntry(5, v), 0);
    EXPECT_GE(v, FAT32_END_OF_CHAIN);
    ASSERT_EQ(vol->fat->GetEntry(6, v), 0);
    EXPECT_EQ(v, FAT32_BAD_CLUSTER);
    EXPECT_TRUE(vol->fat->IsFree(3));
}

// A boot record counting more sectors than the partition has: the clusters
// past the partition's end belong to whatever follows it on the disk, and
// are no valid clusters of this volume.
TEST(MountFatVol, ClustersPastThePartitionsEndAreLeftOut) {
    Geometry g;  // 400 clusters of one sector from sector 40
    MemVolume mv(g, kSmallFat);
    LogCapture log;
    auto vol = MountFatVol(mv.device.get(), 40 + 100);
    ASSERT_TRUE(vol);
    EXPECT_EQ(vol->fat->highestCluster(), 101u);
    uint32_t v = 0;
    EXPECT_EQ(vol->fat->GetEntry(101, v), 0);
    EXPECT_EQ(vol->fat->GetEntry(102, v), -1);
    EXPECT_NE(log.Text().find("FAT32 boot record counts 440 sectors but the partition has 140; clusters past its end "
                              "are left out. \n"),
              std::string::npos)
        << log.Text();
    // A partition of unknown length (0) bounds nothing.
    vol = MountFatVol(mv.device.get(), 0);
    ASSERT_TRUE(vol);
    EXPECT_EQ(vol->fat->highestCluster(), 401u);
}

// ---- Mount of a real volume, checked against sleuthkit's fsstat ----

class MountRealVolume : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!HaveTool("mkfs.fat") || !HaveTool("mcopy") || !HaveTool("sfdisk") || !HaveTool("fsstat")) return;
        s_dir = new TempDir();
        s_image = *s_dir / "card.img";
        if (testutil::Run("bash " + ToolsDir() + "/mkfatimage.sh -s 2 " + s_image + " 80 >/dev/null") != 0) return;
        if (testutil::Run("export MTOOLS_SKIP_CHECK=1; head -c 300000 /dev/urandom > " + s_dir->path() + "/DATA.BIN && mcopy -i " +
                s_image + "@@1048576 " + s_dir->path() + "/DATA.BIN ::/") != 0)
            return;
        s_fsstat = Capture("fsstat -o 2048 " + s_image);
        s_ready = true;
    }
    static void TearDownTestSuite() {
        delete s_dir;
        s_dir = nullptr;
    }
    void SetUp() override {
        if (!s_ready) GTEST_SKIP() << "mkfs.fat, mtools, sfdisk or sleuthkit missing";
    }
    static uint64_t FsstatNumber(const std::string& pattern, int group = 1) {
        std::smatch m;
        if (!std::regex_search(s_fsstat, m, std::regex(pattern))) return ~uint64_t{0};
        return std::stoull(m[group]);
    }
    static std::unique_ptr<HandleDevice> Device() {
        return std::make_unique<HandleDevice>(DeviceOpenReadOnly(s_image), 2048);
    }

    static inline TempDir* s_dir = nullptr;
    static inline std::string s_image;
    static inline std::string s_fsstat;
    static inline bool s_ready = false;
};

TEST_F(MountRealVolume, GeometryAgreesWithSleuthkit) {
    auto dev = Device();
    auto vol = MountFatVol(dev.get(), 80 * 2048 - 2048);
    ASSERT_TRUE(vol);
    const FAT32_DBR_Buff& dbr = *vol->dbr;
    uint64_t fat0First = FsstatNumber(R"(\* FAT 0: (\d+) - (\d+))");
    uint64_t fat0Last = FsstatNumber(R"(\* FAT 0: (\d+) - (\d+))", 2);
    EXPECT_EQ(dbr.GetReservedSectors(), fat0First);
    EXPECT_EQ(dbr.GetSectorsPerFat(), fat0Last - fat0First + 1);
    EXPECT_EQ(dbr.GetFirstDataSector(), FsstatNumber(R"(\* Data Area: (\d+) -)"));
    EXPECT_EQ(dbr.GetSectorsPerCluster() * 512u, FsstatNumber(R"(Cluster Size: (\d+))"));
    EXPECT_EQ(dbr.GetRootCluster(), FsstatNumber(R"(Root Directory: (\d+)\n)"));
    EXPECT_EQ(vol->fat->highestCluster(), FsstatNumber(R"(Total Cluster Range: 2 - (\d+))"));
    uint64_t rootSector = FsstatNumber(R"(\*\*\* Root Directory: (\d+) -)");
    EXPECT_EQ(dbr.ClusterToSector(dbr.GetRootCluster()), rootSector);
    uint32_t c = 0, o = 0;
    EXPECT_EQ(dbr.SectorToCluster(static_cast<uint32_t>(rootSector) + 1, c, o), 0);
    EXPECT_EQ(c, dbr.GetRootCluster());
    EXPECT_EQ(o, 1u);
}

TEST_F(MountRealVolume, FatAgreesWithTheChainsSleuthkitLists) {
    auto dev = Device();
    auto vol = MountFatVol(dev.get(), 0);
    ASSERT_TRUE(vol);
    const FAT32_DBR_Buff& dbr = *vol->dbr;
    // fsstat's "FAT CONTENTS" lists every allocated run as "a-b (n) -> next|EOF" in sectors.
    std::regex run(R"((\d+)-(\d+) \((\d+)\) -> (EOF|\d+))");
    size_t runs = 0;
    std::set<uint32_t> used;
    for (auto it = std::sregex_iterator(s_fsstat.begin(), s_fsstat.end(), run); it != std::sregex_iterator(); ++it) {
        uint32_t first = static_cast<uint32_t>(std::stoul((*it)[1]));
        uint32_t last = static_cast<uint32_t>(std::stoul((*it)[2]));
        uint32_t c0 = 0, c1 = 0, o = 0;
        ASSERT_EQ(dbr.SectorToCluster(first, c0, o), 0);
        ASSERT_EQ(dbr.SectorToCluster(last, c1, o), 0);
        for (uint32_t c = c0; c <= c1; ++c) {
            used.insert(c);
            uint32_t e = 0;
            ASSERT_EQ(vol->fat->GetEntry(c, e), 0);
            if (c < c1) {
                EXPECT_EQ(e, c + 1);
            } else if ((*it)[4] == "EOF") {
                EXPECT_GE(e, FAT32_END_OF_CHAIN);
            } else {
                uint32_t next = 0;
                dbr.SectorToCluster(static_cast<uint32_t>(std::stoul((*it)[4])), next, o);
                EXPECT_EQ(e, next);
            }
        }
        ++runs;
    }
    EXPECT_GE(runs, 2u);  // root directory and DATA.BIN
    EXPECT_GE(used.size(), 1u + 300000 / 1024);
    // Every other cluster is free.
    size_t freeCount = 0;
    for (uint32_t c = 2; c <= vol->fat->highestCluster(); ++c) {
        if (!used.count(c)) {
            EXPECT_TRUE(vol->fat->IsFree(c)) << c;
            ++freeCount;
        }
    }
    EXPECT_EQ(freeCount, vol->fat->highestCluster() - 1 - used.size());
}

TEST_F(MountRealVolume, ZeroSectorsPerClusterOnDiskIsRejected) {
    TempDir dir;
    std::string copy = dir / "bad.img";
    ASSERT_EQ(testutil::Run("cp --sparse=always " + s_image + " " + copy), 0);
    ASSERT_EQ(testutil::Run("printf '\\x00' | dd of=" + copy + " bs=1 seek=$((1048576 + 13)) conv=notrunc status=none"), 0);
    auto dev = std::make_unique<HandleDevice>(DeviceOpenReadOnly(copy), 2048);
    LogCapture log;
    EXPECT_FALSE(MountFatVol(dev.get(), 80 * 2048 - 2048));
    EXPECT_NE(log.Text().find("Invalid FAT32 boot record: sectors per cluster"), std::string::npos);
}

}  // namespace

namespace {

// ---- A FAT too big to hold: read a page at a time ----

TEST_F(MountRealVolume, APagedFatAnswersAsTheWholeTableInAnyOrder) {
    auto dev = Device();
    auto whole = MountFatVol(dev.get(), 0);
    ASSERT_TRUE(whole);
    auto pagedDev = Device();
    auto paged = MountFatVol(pagedDev.get(), 0, 0);  // nothing may stay whole
    ASSERT_TRUE(paged);
    EXPECT_EQ(paged->fat->highestCluster(), whole->fat->highestCluster());
    EXPECT_LE(paged->fat->MemoryBytes(), FAT32_CACHED_PAGES * uint64_t{FAT32_PAGE_SECTORS} * 512 + 4096);
    EXPECT_EQ(whole->fat->MemoryBytes(), uint64_t{whole->fat->fatSectors()} * 512);

    // Two pages in memory over a table of several: pages come and go.
    FAT32_FAT_Buffer small;
    small.AttachDevice(pagedDev.get(), whole->dbr->GetReservedSectors(), whole->fat->fatSectors(),
                       whole->fat->highestCluster(), 2);
    ASSERT_GT(whole->fat->fatSectors(), 3 * FAT32_PAGE_SECTORS);
    const uint32_t highest = whole->fat->highestCluster();
    auto same = [&](uint32_t c) {
        uint32_t a = 0, b = 0;
        int ra = whole->fat->GetEntry(c, a), rb = small.GetEntry(c, b);
        return ra == rb && a == b && whole->fat->IsFree(c) == small.IsFree(c);
    };
    for (uint32_t c = 0; c <= highest + 2; ++c) ASSERT_TRUE(same(c)) << c;
    for (uint32_t c = highest + 2; c-- > 0;) ASSERT_TRUE(same(c)) << c;  // back to front
    const size_t readsBefore = pagedDev->reads.size();
    for (uint32_t i = 0; i < 5000; ++i) ASSERT_TRUE(same((i * 7919u) % (highest + 1))) << i;
    EXPECT_GT(pagedDev->reads.size(), readsBefore + 100);  // far pages were read again
    EXPECT_LE(small.MemoryBytes(), 2 * uint64_t{FAT32_PAGE_SECTORS} * 512 + 4096);

    // A changed entry outlives the pages read after it.
    ASSERT_EQ(small.SetEntry(5, 9), 0);
    ASSERT_EQ(small.SetEndOfChain(highest), 0);
    for (uint32_t c = 2; c <= highest; c += 1000) (void)small.IsFree(c);
    uint32_t v = 0;
    EXPECT_EQ(small.GetEntry(5, v), 0);
    EXPECT_EQ(v, 9u);
    EXPECT_EQ(small.GetEntry(highest, v), 0);
    EXPECT_EQ(v, FAT32_END_OF_CHAIN);
    ASSERT_EQ(whole->fat->SetEntry(5, 9), 0);
    ASSERT_EQ(whole->fat->SetEndOfChain(highest), 0);

    // Written back, both give the same bytes.
    TempDir dir;
    const std::string a = dir / "a.img", b = dir / "b.img";
    const size_t bytes = size_t{whole->fat->fatSectors()} * 512;
    ASSERT_TRUE(WriteFileBytes(a, std::vector<uint8_t>(bytes, 0xEE)));
    ASSERT_TRUE(WriteFileBytes(b, std::vector<uint8_t>(bytes, 0xEE)));
    whole->fat->WriteTo(a, 0);
    small.WriteTo(b, 0);
    EXPECT_EQ(ReadFileBytes(a), ReadFileBytes(b));
}

TEST(MountFatVol, APagedFatThatCannotBeReadIsNotMounted) {
    Geometry g;
    g.sectorsPerFat = 300;
    g.totalSectors = 32 + 2 * 300 + 70000;
    MemVolume mv(g, kSmallFat);
    mv.bytes->resize((32 + 200) * 512);  // the FAT's end is missing
    EXPECT_FALSE(MountFatVol(mv.device.get(), 0, 0));
    mv.bytes->resize((32 + 300) * 512);
    auto vol = MountFatVol(mv.device.get(), 0, 0);
    ASSERT_TRUE(vol);
    // The disk drops off afterwards: the far pages read as free entries.
    mv.bytes->resize((32 + 100) * 512);
    EXPECT_FALSE(vol->fat->IsFree(2));  // the page was read at mount for the reserved entries
    EXPECT_TRUE(vol->fat->IsFree(30000));
    uint32_t v = 1;
    EXPECT_EQ(vol->fat->GetEntry(30000, v), 0);
    EXPECT_EQ(v, 0u);
}

// ---- FAT12 and FAT16 made by mkfs.fat and filled with mtools ----

// A FAT12 or FAT16 volume (no partition table) with files in the root
// folder and a subfolder, one of them written around a hole so its chain
// jumps. The sleuthkit's sectors of each file must be those the chain gives.
void CheckChainsAgainstTheSleuthKit(int bits, const char* mkfs) {
    if (!HaveTool("mkfs.fat") || !HaveTool("mcopy") || !HaveTool("fls")) GTEST_SKIP() << "tools missing";
    const std::string image = CachedImage(
        "fat" + std::to_string(bits),
        std::string("truncate -s 8M \"$IMAGE\" && ") + mkfs + " \"$IMAGE\" >/dev/null && export MTOOLS_SKIP_CHECK=1 && "
        "head -c 3000 /dev/urandom > /tmp/lv-a.$$ && head -c 9000 /dev/urandom > /tmp/lv-b.$$ && "
        "head -c 70000 /dev/urandom > /tmp/lv-c.$$ && "
        "mcopy -i \"$IMAGE\" /tmp/lv-a.$$ ::/A.BIN && mcopy -i \"$IMAGE\" /tmp/lv-b.$$ ::/HOLE.BIN && "
        "mcopy -i \"$IMAGE\" /tmp/lv-a.$$ ::/C.BIN && mdel -i \"$IMAGE\" ::/HOLE.BIN && "
        "mmd -i \"$IMAGE\" ::/DCIM && mcopy -i \"$IMAGE\" /tmp/lv-c.$$ ::/DCIM/SPLIT.BIN && "
        "rm -f /tmp/lv-[abc].$$");
    ASSERT_FALSE(image.empty());
    auto bytes = std::make_shared<std::vector<uint8_t>>(ReadFileBytes(image));
    CMemoryHandle handle(bytes);
    CVolDevice device(&handle, 0);
    auto vol = MountFatVol(&device, static_cast<int64_t>(bytes->size() / 512));
    ASSERT_TRUE(vol);
    EXPECT_EQ(vol->dbr->GetFatBits(), static_cast<uint32_t>(bits));
    EXPECT_EQ(vol->fat->entryBits(), static_cast<uint32_t>(bits));
    EXPECT_EQ(vol->dbr->GetRootEntries(), 512u);
    EXPECT_EQ(vol->dbr->GetRootDirSectors(), 32u);
    EXPECT_EQ(vol->dbr->GetFirstDataSector(), vol->dbr->GetRootDirSector() + 32);

    std::istringstream in(Capture("fls -r -p -F '" + image + "'"));
    std::regex line(R"(^r/r (\d+):\t(.*)$)");
    std::smatch m;
    size_t files = 0, jumps = 0;
    for (std::string l; std::getline(in, l);) {
        if (!std::regex_match(l, m, line)) continue;
        std::istringstream st(Capture("istat '" + image + "' " + std::string(m[1])));
        std::vector<uint32_t> want;
        std::string text = st.str();
        std::istringstream nums(text.substr(text.find("Sectors:") + 8));
        for (uint32_t x; nums >> x;)
            if (x) want.push_back(x);
        ASSERT_FALSE(want.empty()) << l;
        uint32_t cluster = 0, offset = 0;
        ASSERT_EQ(vol->dbr->SectorToCluster(want[0], cluster, offset), 0);
        EXPECT_EQ(offset, 0u);
        std::vector<uint32_t> got;
        for (size_t guard = 0; got.size() < want.size() && guard < 10000; ++guard) {
            for (uint32_t k = 0; k < vol->dbr->GetSectorsPerCluster(); ++k)
                got.push_back(ClusterToSector(vol->dbr->GetRaw(), cluster) + k);
            uint32_t next = 0;
            ASSERT_EQ(vol->fat->GetEntry(cluster, next), 0);
            if (next >= FAT32_END_OF_CHAIN) break;
            if (next != cluster + 1) ++jumps;
            cluster = next;
        }
        got.resize(std::min(got.size(), want.size()));
        EXPECT_EQ(got, want) << m[2];
        ++files;
    }
    EXPECT_EQ(files, 3u);
    EXPECT_GE(jumps, 1u) << "the file written around the hole should jump";
}

TEST(MountFatVol, Fat16ChainsMatchTheSleuthKit) { CheckChainsAgainstTheSleuthKit(16, "mkfs.fat -F 16 -s 1"); }
TEST(MountFatVol, Fat12ChainsMatchTheSleuthKit) { CheckChainsAgainstTheSleuthKit(12, "mkfs.fat -F 12 -s 4"); }

TEST(Fat32FatBuffer, TwelveAndSixteenBitEntriesInFat32Terms) {
    // FAT12: entries 2 = 0x003, 3 = 0xFFF (end), 4 = 0xFF7 (bad), 5 = 0x006.
    // Three bytes hold two entries: 03 F0 FF, F7 6F 00.
    std::unique_ptr<uint8_t[]> t12(new uint8_t[512]());
    const uint8_t packed[] = {0xF8, 0xFF, 0xFF, 0x03, 0xF0, 0xFF, 0xF7, 0x6F, 0x00};
    std::copy(std::begin(packed), std::end(packed), t12.get());
    FAT32_FAT_Buffer f12;
    f12.Attach(std::move(t12), 1, 300, 12);
    EXPECT_EQ(f12.entryCount(), 341u);
    uint32_t v = 0;
    ASSERT_EQ(f12.GetEntry(2, v), 0);
    EXPECT_EQ(v, 3u);
    ASSERT_EQ(f12.GetEntry(3, v), 0);
    EXPECT_GE(v, FAT32_END_OF_CHAIN);
    ASSERT_EQ(f12.GetEntry(4, v), 0);
    EXPECT_EQ(v, FAT32_BAD_CLUSTER);
    ASSERT_EQ(f12.GetEntry(5, v), 0);
    EXPECT_EQ(v, 6u);
    EXPECT_TRUE(f12.IsFree(6));
    // Writing one half of a shared byte leaves the other half alone.
    ASSERT_EQ(f12.SetEntry(4, 0x123), 0);
    ASSERT_EQ(f12.GetEntry(4, v), 0);
    EXPECT_EQ(v, 0x123u);
    ASSERT_EQ(f12.GetEntry(5, v), 0);
    EXPECT_EQ(v, 6u);
    ASSERT_EQ(f12.SetEndOfChain(5), 0);
    ASSERT_EQ(f12.GetEntry(4, v), 0);
    EXPECT_EQ(v, 0x123u);
    ASSERT_EQ(f12.GetEntry(5, v), 0);
    EXPECT_GE(v, FAT32_END_OF_CHAIN);
    EXPECT_EQ(f12.highestCluster(), 300u);
    EXPECT_EQ(f12.GetEntry(301, v), -1);

    std::unique_ptr<uint8_t[]> t16(new uint8_t[512]());
    le::put16(std::span<uint8_t>(t16.get(), 512), 4, 0xFFF8);
    le::put16(std::span<uint8_t>(t16.get(), 512), 6, 0xFFF7);
    le::put16(std::span<uint8_t>(t16.get(), 512), 8, 7);
    FAT32_FAT_Buffer f16;
    f16.Attach(std::move(t16), 1, 1000, 16);
    EXPECT_EQ(f16.highestCluster(), 255u) << "capped at the table's 256 entries";
    ASSERT_EQ(f16.GetEntry(2, v), 0);
    EXPECT_GE(v, FAT32_END_OF_CHAIN);
    ASSERT_EQ(f16.GetEntry(3, v), 0);
    EXPECT_EQ(v, FAT32_BAD_CLUSTER);
    ASSERT_EQ(f16.GetEntry(4, v), 0);
    EXPECT_EQ(v, 7u);
}

}  // namespace
