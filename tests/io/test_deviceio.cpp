#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "io/deviceio.h"
#include "io/platform/memory_handle.h"
#include "log_capture.h"
#include "testutil.h"

namespace {

// A disk whose sector i is filled with the byte i % 251 (and its number in
// the first eight bytes), so misplaced data shows.
std::shared_ptr<std::vector<uint8_t>> PatternDisk(uint64_t sectors) {
    auto bytes = std::make_shared<std::vector<uint8_t>>(sectors * 512);
    for (uint64_t s = 0; s < sectors; ++s) {
        std::memset(bytes->data() + s * 512, static_cast<int>(s % 251), 512);
        std::memcpy(bytes->data() + s * 512, &s, sizeof s);
    }
    return bytes;
}

bool SectorIs(const uint8_t* sector, uint64_t number) {
    uint64_t tag;
    std::memcpy(&tag, sector, sizeof tag);
    if (tag != number) return false;
    for (int i = 8; i < 512; ++i)
        if (sector[i] != number % 251) return false;
    return true;
}

// Records every read request (first sector, sectors) passed to a handle.
class CRecordingHandle : public IDeviceHandle {
public:
    explicit CRecordingHandle(IDeviceHandle* inner) : m_inner(inner) {}
    int64_t ReadAt(uint64_t off, void* buf, size_t len, int* err) override {
        reads.emplace_back(off / 512, len / 512);
        return m_inner->ReadAt(off, buf, len, err);
    }
    int64_t WriteAt(uint64_t off, const void* buf, size_t len, int* err) override {
        return m_inner->WriteAt(off, buf, len, err);
    }
    bool IsReadOnly() const override { return m_inner->IsReadOnly(); }
    std::vector<std::pair<uint64_t, uint64_t>> reads;

private:
    IDeviceHandle* m_inner;
};

// A backend that refuses read-write opens, as for a locked card.
class CRefuseWritePlatform : public IPlatform {
public:
    explicit CRefuseWritePlatform(int error) : m_error(error) {}
    DevHandle Open(const std::string& path, bool readOnly, int* err) override {
        opens.push_back(readOnly);
        if (!readOnly) {
            *err = m_error;
            return nullptr;
        }
        return OpenMemoryDisk(path, true);
    }
    int GetGeometry(IDeviceHandle*, DiskGeometry&, int*) override { return -1; }
    int GetDriveLayout(IDeviceHandle*, std::vector<LayoutEntry>&, int*) override { return -1; }
    int GetDriveLayoutEx(IDeviceHandle*, DriveLayoutEx&, int*) override { return -1; }
    int EnumDisks(std::vector<PlatformDiskInfo>&) override { return 0; }
    int EnumVolumes(std::vector<PlatformVolume>&) override { return 0; }
    int GetVolumeLabel(const std::string&, std::string&) override { return -1; }
    int GetFreeBytes(const std::string&, uint64_t&, int*) override { return -1; }
    std::string GetSystemVolume() override { return {}; }
    bool PathExists(const std::string&) override { return false; }
    std::string ErrorText(int) override { return {}; }
    std::vector<bool> opens;

private:
    int m_error;
};

struct PlatformGuard {
    explicit PlatformGuard(IPlatform* p) { SetPlatform(p); }
    ~PlatformGuard() { SetPlatform(nullptr); }
};

struct MemoryDiskGuard {
    MemoryDiskGuard(std::string p, std::shared_ptr<std::vector<uint8_t>> bytes, std::set<uint64_t> bad = {})
        : path(std::move(p)) {
        RegisterMemoryDisk(path, std::move(bytes), std::move(bad));
    }
    ~MemoryDiskGuard() { UnregisterMemoryDisk(path); }
    std::string path;
};

}  // namespace

TEST(TolerantRead, OneBadSectorInTwentyFive) {
    CMemoryHandle mem(PatternDisk(40));
    mem.SetBadSectors({7});
    CRecordingHandle h(&mem);
    std::vector<uint8_t> buf(25 * 512, 0xEE);
    EXPECT_EQ(DeviceReadSectorsTolerant(&h, 0, 25, buf.data()), 25);
    for (uint64_t s = 0; s < 25; ++s) {
        if (s == 7) continue;
        EXPECT_TRUE(SectorIs(buf.data() + s * 512, s)) << "sector " << s;
    }
    // The unreadable sector reads as zeros, not as what the buffer held.
    EXPECT_TRUE(std::all_of(buf.begin() + 7 * 512, buf.begin() + 8 * 512, [](uint8_t b) { return b == 0; }));
    // The whole request, ten pieces of 2 and the remainder of 5; the piece
    // holding sector 7 is split into 1 + 1.
    std::vector<std::pair<uint64_t, uint64_t>> want = {{0, 25}, {0, 2}, {2, 2}, {4, 2}, {6, 2}, {6, 1},
                                                       {7, 1},  {8, 2}, {10, 2}, {12, 2}, {14, 2}, {16, 2},
                                                       {18, 2}, {20, 5}};
    EXPECT_EQ(h.reads, want);
}

TEST(TolerantRead, AllFailingSectorsStillCount) {
    CMemoryHandle mem(PatternDisk(10));
    mem.SetBadSectors({3, 4, 5});
    CRecordingHandle h(&mem);
    std::vector<uint8_t> buf(3 * 512);
    EXPECT_EQ(DeviceReadSectorsTolerant(&h, 3, 3, buf.data()), 3);
    std::vector<std::pair<uint64_t, uint64_t>> want = {{3, 3}, {3, 1}, {4, 1}, {5, 1}};
    EXPECT_EQ(h.reads, want);
}

TEST(TolerantRead, ShortReadAtTheEndIsSplit) {
    // Reading past the end gives a short read: the readable sectors arrive.
    CMemoryHandle mem(PatternDisk(5));
    std::vector<uint8_t> buf(8 * 512, 0xEE);
    EXPECT_EQ(DeviceReadSectorsEx(&mem, 2, 8, buf.data()), 3);
    EXPECT_EQ(DeviceReadSectorsTolerant(&mem, 2, 8, buf.data()), 8);
    for (uint64_t s = 0; s < 3; ++s) EXPECT_TRUE(SectorIs(buf.data() + s * 512, s + 2));
    EXPECT_TRUE(std::all_of(buf.begin() + 3 * 512, buf.end(), [](uint8_t b) { return b == 0; }));
}

TEST(TolerantRead, NoDeviceReadsNothing) {
    std::vector<uint8_t> buf(512);
    EXPECT_EQ(DeviceReadSectorsTolerant(nullptr, 0, 1u << 20, buf.data()), 0);
    CVolDevice dev(static_cast<IDeviceHandle*>(nullptr), 0);
    EXPECT_EQ(dev.ReadSectors(0, 1, buf.data()), 0u);
}

TEST(SectorPrimitives, SingleUnreadableSector) {
    LogCapture cap;
    CMemoryHandle mem(PatternDisk(10));
    mem.SetBadSectors({4});
    std::vector<uint8_t> buf(512);
    EXPECT_EQ(DeviceReadSectorsEx(&mem, 4, 1, buf.data()), 0);
    CVolDevice dev(&mem, 0);
    EXPECT_EQ(dev.ReadSectors(4, 1, buf.data()), 1u);
    EXPECT_NE(cap.Text().find("ERROR: "), std::string::npos);
    EXPECT_NE(cap.Text().find("DeviceReadSectorsEx(): ReadFile Failed, Sectors: 1, ErrorCode: 5 \n"), std::string::npos)
        << cap.Text();
}

TEST(SectorPrimitives, TransfersOfFourGiBAreRefused) {
    CMemoryHandle mem(PatternDisk(2));
    uint8_t buf[512];
    EXPECT_EQ(DeviceReadSectorsEx(&mem, 0, 8388608ULL, buf), 0);
    EXPECT_EQ(DeviceWriteSectors(&mem, 0, 8388608ULL, buf), 0);
    EXPECT_EQ(DeviceReadSectorsEx(&mem, UINT64_MAX / 256, 1, buf), 0);  // byte offset would overflow
}

TEST(VolDevice, BaseOffsetIsAddedToReadsAndWrites) {
    auto bytes = PatternDisk(2100);
    CMemoryHandle mem(bytes);
    CVolDevice dev(&mem, 2048);
    std::vector<uint8_t> buf(2 * 512);
    EXPECT_EQ(dev.ReadSectors(0, 2, buf.data()), 2u);
    EXPECT_TRUE(SectorIs(buf.data(), 2048));
    EXPECT_TRUE(SectorIs(buf.data() + 512, 2049));
    std::vector<uint8_t> out(512, 0x5A);
    EXPECT_EQ(dev.WriteSectors(5, 1, out.data()), 1u);
    EXPECT_EQ((*bytes)[2053 * 512 + 100], 0x5A);
    EXPECT_TRUE(SectorIs(bytes->data() + 2052 * 512, 2052));
    EXPECT_TRUE(SectorIs(bytes->data() + 2054 * 512, 2054));
}

TEST(ToolWrite, MissingPathFails) {
    LogCapture cap;
    testutil::TempDir dir;
    std::string path = dir / "no-such-disk";
    uint8_t buf[512] = {};
    EXPECT_EQ(Tool_WriteDiskSectors(buf, path, 0, 1), -1);
    std::string text = cap.Text();
    size_t open = text.find("DeviceOpen(): CreateFile " + path + "  Failed, ErrorCode: 2 .\n");
    size_t tool = text.find("Tool_WriteDiskSectors(): DeviceOpen Failed: " + path + " \n");
    ASSERT_NE(open, std::string::npos) << text;
    ASSERT_NE(tool, std::string::npos) << text;
    EXPECT_LT(open, tool);
}

TEST(ToolWrite, WritesExactlyOrFails) {
    MemoryDiskGuard disk("mem:toolwrite", PatternDisk(4));
    std::vector<uint8_t> buf(2 * 512, 0x77);
    EXPECT_EQ(Tool_WriteDiskSectors(buf.data(), disk.path, 1, 2), 0);
    DevHandle h = DeviceOpenReadOnly(disk.path);
    ASSERT_TRUE(h);
    uint8_t back[512];
    ASSERT_EQ(DeviceReadSectorsEx(h.get(), 2, 1, back), 1);
    EXPECT_EQ(back[0], 0x77);
    // Past the end only part of the request is written.
    LogCapture cap;
    EXPECT_EQ(Tool_WriteDiskSectors(buf.data(), disk.path, 3, 2), -1);
    EXPECT_NE(cap.Text().find("DeviceWriteSectors Failed: 3(2), \n"), std::string::npos) << cap.Text();
}

TEST(DeviceOpen, FallsBackToReadOnlyWhenWritingIsRefused) {
    for (int error : {EACCES, EROFS, EPERM}) {
        MemoryDiskGuard disk("mem:locked", PatternDisk(4));
        CRefuseWritePlatform refuse(error);
        PlatformGuard guard(&refuse);
        LogCapture cap;
        DevHandle h = DeviceOpen(disk.path);
        ASSERT_TRUE(h) << error;
        EXPECT_TRUE(h->IsReadOnly());
        EXPECT_EQ(refuse.opens, (std::vector<bool>{false, true}));
        uint8_t buf[512];
        EXPECT_EQ(DeviceReadSectorsEx(h.get(), 1, 1, buf), 1);
        EXPECT_TRUE(SectorIs(buf, 1));
        EXPECT_EQ(DeviceWriteSectors(h.get(), 1, 1, buf), 0);
        std::string text = cap.Text();
        EXPECT_NE(text.find("CreateFile mem:locked  Failed, ErrorCode: " + std::to_string(error)), std::string::npos);
        EXPECT_NE(text.find("CreateFile mem:locked  Succeeded (read-only).\n"), std::string::npos) << text;
    }
}

TEST(DeviceOpen, NoFallbackForOtherErrors) {
    CRefuseWritePlatform refuse(ENOENT);
    PlatformGuard guard(&refuse);
    EXPECT_FALSE(DeviceOpen("mem:absent"));
    EXPECT_EQ(refuse.opens, std::vector<bool>{false});
}

TEST(DeviceOpen, ImmutableImageFileOpensReadOnly) {
    // chmod does not stop root; an immutable file refuses write access to everyone.
    testutil::TempDir dir;
    std::string path = dir / "locked.img";
    ASSERT_TRUE(testutil::WriteFileBytes(path, *PatternDisk(8)));
    if (testutil::Run("chattr +i '" + path + "' 2>/dev/null") != 0) GTEST_SKIP() << "chattr +i not possible here";
    struct Unlock {
        std::string p;
        ~Unlock() { testutil::Run("chattr -i '" + p + "'"); }
    } unlock{path};
    DevHandle h = DeviceOpen(path);
    ASSERT_TRUE(h);
    EXPECT_TRUE(h->IsReadOnly());
    uint8_t buf[512];
    EXPECT_EQ(DeviceReadSectorsEx(h.get(), 5, 1, buf), 1);
    EXPECT_TRUE(SectorIs(buf, 5));
    EXPECT_EQ(DeviceWriteSectors(h.get(), 5, 1, buf), 0);
}

TEST(DeviceOpen, ReadOnlyOpenNeverWrites) {
    auto bytes = PatternDisk(4);
    MemoryDiskGuard disk("mem:ro", bytes);
    DevHandle h = DeviceOpenReadOnly(disk.path);
    ASSERT_TRUE(h);
    EXPECT_TRUE(h->IsReadOnly());
    uint8_t buf[512] = {};
    EXPECT_EQ(DeviceWriteSectors(h.get(), 0, 1, buf), 0);
    EXPECT_TRUE(SectorIs(bytes->data(), 0));
}

TEST(LogicalStorageDevice, ReadsThroughItsOwnHandle) {
    MemoryDiskGuard disk("mem:logical", PatternDisk(30), {12});
    CLogicalStorageDevice dev;
    EXPECT_EQ(dev.Open(""), -1);
    ASSERT_EQ(dev.Open(disk.path), 0);
    std::vector<uint8_t> buf(20 * 512);
    EXPECT_EQ(dev.ReadSectors(5, 20, buf.data()), 20u);  // sector 12 unreadable, skipped
    EXPECT_TRUE(SectorIs(buf.data(), 5));
    EXPECT_TRUE(SectorIs(buf.data() + 19 * 512, 24));
    dev.Close();
    EXPECT_EQ(dev.ReadSectors(5, 1, buf.data()), 0u);
}
