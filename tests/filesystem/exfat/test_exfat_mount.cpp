// The exFAT boot region, FAT and allocation bitmap of volumes made by
// mkfs.exfat, and one test per way a boot sector or volume is refused.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../../io/log_capture.h"
#include "filesystem/exfat/exfat_dirent.h"
#include "filesystem/exfat/exfat_mount.h"
#include "io/deviceio.h"
#include "io/le.h"
#include "io/platform/memory_handle.h"
#include "testutil.h"

namespace {

// A fresh 16 MiB volume (no partition table) with 4 KiB clusters.
class ExfatMountTest : public ::testing::Test {
public:
    void SetUp() override {
        if (!testutil::HaveTool("mkfs.exfat")) GTEST_SKIP() << "mkfs.exfat is missing";
        const std::string image = testutil::CachedImage(
            "exfat-empty", "truncate -s 16M \"$IMAGE\" && mkfs.exfat -c 4096 -L EMPTY \"$IMAGE\" >/dev/null");
        ASSERT_FALSE(image.empty());
        m_bytes = std::make_shared<std::vector<uint8_t>>(testutil::ReadFileBytes(image));
        m_handle = std::make_unique<CMemoryHandle>(m_bytes);
        m_device = std::make_unique<CVolDevice>(m_handle.get(), 0);
    }
    std::unique_ptr<ExfatVolume> Mount(int64_t sectors = 0) {
        return ExfatVolume::Mount(m_device.get(), sectors ? sectors : static_cast<int64_t>(m_bytes->size() / 512));
    }
    std::span<uint8_t> Boot() { return std::span<uint8_t>(*m_bytes).first(512); }

    std::shared_ptr<std::vector<uint8_t>> m_bytes;
    std::unique_ptr<CMemoryHandle> m_handle;
    std::unique_ptr<CVolDevice> m_device;
};

TEST_F(ExfatMountTest, ReadsTheGeometryMkfsWrote) {
    auto v = Mount();
    ASSERT_NE(v, nullptr);
    EXPECT_FALSE(v->UsedBackupBootRegion());
    const ExfatBootSector& b = v->Boot();
    EXPECT_EQ(b.bytesPerSectorShift, 9);
    EXPECT_EQ(v->BytesPerCluster(), 4096u);
    EXPECT_EQ(v->SectorsPerCluster(), 8u);
    EXPECT_EQ(b.volumeLength, 32768u);
    EXPECT_EQ(v->ClusterCount(), b.clusterCount);
    EXPECT_EQ(v->HeapSector(), b.clusterHeapOffset);
    // A new volume uses clusters only for its bitmap, up-case table and root
    // folder; each is a cluster of the bitmap.
    EXPECT_GE(v->AllocatedClusters(), 3u);
    EXPECT_LE(v->AllocatedClusters(), 10u);
    EXPECT_TRUE(v->IsAllocated(b.rootCluster));
    EXPECT_TRUE(v->IsAllocated(v->BitmapFirstCluster()));
    EXPECT_FALSE(v->IsAllocated(b.clusterCount + 1));
    EXPECT_EQ(v->Bitmap().size(), (v->ClusterCount() + 7) / 8);
    uint32_t next = 0;
    ASSERT_EQ(v->GetFatEntry(b.rootCluster, next), 0);
    EXPECT_EQ(next, EXFAT_END_OF_CHAIN);
    EXPECT_EQ(v->GetFatEntry(1, next), -1);
    EXPECT_EQ(v->GetFatEntry(b.clusterCount + 2, next), -1);

    // The checksum sector holds the checksum of sectors 0-10.
    const uint32_t sum = ExfatBootChecksum(*m_bytes, 512);
    EXPECT_EQ(le::u32(*m_bytes, 11 * 512), sum);
    EXPECT_EQ(le::u32(*m_bytes, 12 * 512 - 4), sum);
    // Volume flags and percent in use are left out of it: they change as
    // the volume is used.
    (*m_bytes)[106] ^= 1;
    (*m_bytes)[112] = 42;
    EXPECT_EQ(ExfatBootChecksum(*m_bytes, 512), sum);
}

TEST_F(ExfatMountTest, RefusesBootSectorsThatCannotBeTrusted) {
    struct Case {
        const char* what;
        std::function<void(std::span<uint8_t>)> damage;
    } cases[] = {
        {"no exFAT name", [](auto s) { s[3] = 'N'; }},
        {"parameter block not zero", [](auto s) { s[11] = 2; }},
        {"no signature", [](auto s) { s[510] = 0; }},
        {"sector size 256", [](auto s) { s[108] = 8; }},
        {"sector size 8192", [](auto s) { s[108] = 13; }},
        {"64 MiB clusters", [](auto s) { s[109] = 26 - 9 + 1; }},
        {"revision 2.0", [](auto s) { le::put16(s, 104, 0x0200); }},
        {"three FATs", [](auto s) { s[110] = 3; }},
        {"FAT inside the boot regions", [](auto s) { le::put32(s, 80, 23); }},
        {"FAT of 0 sectors", [](auto s) { le::put32(s, 84, 0); }},
        {"heap inside the FAT", [](auto s) { le::put32(s, 88, le::u32(s, 80) + 1); }},
        {"no clusters", [](auto s) { le::put32(s, 92, 0); }},
        {"more clusters than the FAT holds", [](auto s) { le::put32(s, 92, le::u32(s, 84) * 128); }},
        {"volume ends before the heap", [](auto s) { le::put32(s, 72, le::u32(s, 88));
                                                le::put32(s, 76, 0); }},
        {"root cluster 1", [](auto s) { le::put32(s, 96, 1); }},
        {"root cluster past the last", [](auto s) { le::put32(s, 96, le::u32(s, 92) + 2); }},
    };
    ExfatBootSector good;
    ASSERT_EQ(ParseExfatBootSector(Boot(), 0, good), nullptr);
    for (const Case& c : cases) {
        std::vector<uint8_t> s(Boot().begin(), Boot().end());
        c.damage(s);
        ExfatBootSector b;
        EXPECT_NE(ParseExfatBootSector(s, 0, b), nullptr) << c.what;
    }
    ExfatBootSector b;
    EXPECT_NE(ParseExfatBootSector(Boot(), good.clusterHeapOffset, b), nullptr)
        << "a heap that starts past the partition's end";
    EXPECT_NE(ParseExfatBootSector(Boot().first(511), 0, b), nullptr);
}

TEST_F(ExfatMountTest, DamagedVolumesAreRefusedWithAReason) {
    struct Case {
        const char* what;
        std::function<void(ExfatMountTest&)> damage;
        const char* logged;
    } cases[] = {
        {"both boot regions zeroed",
         [](ExfatMountTest& t) { std::memset(t.m_bytes->data(), 0, 24 * 512); }, "exFAT boot region unusable"},
        {"root folder's bitmap entry gone",
         [](ExfatMountTest& t) {
             auto v = t.Mount();
             const uint64_t root = v->ClusterToSector(v->Boot().rootCluster) * 512;
             for (uint64_t e = root; e < root + 4096; e += 32)
                 if ((*t.m_bytes)[e] == EXFAT_ENTRY_BITMAP) (*t.m_bytes)[e] = 0x01;
         },
         "no allocation bitmap entry"},
        {"root folder's chain broken",
         [](ExfatMountTest& t) {
             auto v = t.Mount();
             const uint64_t fat = uint64_t{v->Boot().fatOffset} * 512;
             // Its entry leads to cluster 1, which no cluster can follow.
             le::put32(*t.m_bytes, fat + 4 * size_t{v->Boot().rootCluster}, 1);
         },
         "root folder at cluster"},
    };
    const std::vector<uint8_t> pristine = *m_bytes;
    for (const Case& c : cases) {
        *m_bytes = pristine;
        c.damage(*this);
        LogCapture log;
        EXPECT_EQ(Mount(), nullptr) << c.what;
        EXPECT_NE(log.Text().find(c.logged), std::string::npos) << c.what << "\n" << log.Text();
    }
}

TEST_F(ExfatMountTest, ClustersStayInsideThePartition) {
    auto whole = Mount();
    ASSERT_NE(whole, nullptr);
    // A partition shorter than the volume the boot sector describes.
    const int64_t cut = static_cast<int64_t>(whole->HeapSector() + 100 * whole->SectorsPerCluster() + 3);
    LogCapture log;
    auto v = Mount(cut);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->ClusterCount(), 100u);
    EXPECT_FALSE(v->ValidCluster(102));
    std::vector<ExfatClusterRun> runs;
    EXPECT_EQ(v->StreamRuns(90, 20 * 4096, true, runs), -1) << "a stream that runs past the last cluster";
    EXPECT_EQ(v->StreamRuns(90, 10 * 4096, true, runs), 0);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].count, 10u);
    EXPECT_NE(log.Text().find("clusters past its end are left out"), std::string::npos) << log.Text();
}

TEST_F(ExfatMountTest, ChainsThatLoopOrCrossAreRefused) {
    auto v = Mount();
    ASSERT_NE(v, nullptr);
    const uint64_t fat = uint64_t{v->Boot().fatOffset} * 512;
    // 50 -> 51 -> 60 -> 50: a loop.
    le::put32(*m_bytes, fat + 4 * 50, 51);
    le::put32(*m_bytes, fat + 4 * 51, 60);
    le::put32(*m_bytes, fat + 4 * 60, 50);
    v = Mount();
    std::vector<ExfatClusterRun> runs;
    std::vector<bool> claimed;
    EXPECT_EQ(v->StreamRuns(50, 3 * 4096, false, runs, &claimed), 0);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].cluster, 50u);
    EXPECT_EQ(runs[0].count, 2u);
    EXPECT_EQ(runs[1].fileCluster, 2u);
    EXPECT_EQ(runs[1].cluster, 60u);
    claimed.clear();
    EXPECT_EQ(v->StreamRuns(50, 4 * 4096, false, runs, &claimed), -1) << "the fourth link leads back to 50";
    EXPECT_EQ(v->StreamRuns(60, 4096, false, runs, &claimed), -1) << "cluster 60 belongs to another stream";
    // A free entry in the middle breaks the chain; the end mark cuts it short.
    le::put32(*m_bytes, fat + 4 * 60, 0);
    v = Mount();
    EXPECT_EQ(v->StreamRuns(50, 4 * 4096, false, runs), -1);
    le::put32(*m_bytes, fat + 4 * 60, EXFAT_END_OF_CHAIN);
    v = Mount();
    EXPECT_EQ(v->StreamRuns(50, 4 * 4096, false, runs), 1);
}

}  // namespace
