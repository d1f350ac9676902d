// Damaged volumes against the photo walks: every walk ends (CTest's timeout
// bounds it) with a result, possibly empty, and the log line that says what
// was wrong. Real volumes made by mkntfs/ntfscp and mkfs.fat/mtools, damaged
// in memory.
//
// Covered elsewhere and not repeated here: a looping FAT chain of a photo and
// of a directory, and a directory that contains itself
// (test_fat_searchphoto.cpp: LoopingPhotoChain, LoopingDirectoryChainEndsTheFolder,
// SubdirectoryPointingToItsParentIsNotWalkedAgain); an attribute of length 0
// in a photo's record (test_ntfs_searchphoto.cpp:
// CorruptRecordsAreSkippedAndTheRestFound).
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../filesystem/ntfs_testsupport.h"
#include "filesystem/fatmount.h"
#include "filesystem/ntfs_filerecord.h"
#include "filesystem/ntfs_mount.h"
#include "io/le.h"
#include "io/partition.h"
#include "volphotorev/fat_searchphoto.h"
#include "volphotorev/ntfs_searchphoto.h"
#include "volphotorev/photoitems.h"

namespace {

using ntfstest::ImageDevice;
using ntfstest::LogCapture;

constexpr uint64_t kStart = 2048;  // first sector of the partition in every image

class CountingSink : public IEventSink {
public:
    int Notify(uint32_t code, int32_t, void*, uint32_t) override {
        ++counts[code];
        return 0;
    }
    std::map<uint32_t, int> counts;
};

std::vector<std::string> Names(CPhotoItemsMgr& store) {
    std::vector<std::string> names;
    for (int c = 0; c < kPhotoCategoryCount; ++c) {
        int n = store.GetItems(c, 0, 0, nullptr);
        std::vector<PhotoItem*> items(static_cast<size_t>(n));
        if (n > 0) store.GetItems(c, 0, n, items.data());
        for (PhotoItem* item : items) names.emplace_back(item->name.begin(), item->name.end());
    }
    return names;
}

bool Has(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// ---- NTFS ----

// An 8 MiB volume of 4 KiB clusters with two photos, as bytes in memory.
class DamagedNtfs : public ::testing::Test {
protected:
    void SetUp() override {
        if (!ntfstest::HaveNtfsTools()) GTEST_SKIP() << "mkntfs, ntfscp, sfdisk or sleuthkit missing";
        std::string photos = testutil::PhotosDir();
        if (photos.empty()) GTEST_SKIP() << "no photos";
        std::string image = ntfstest::CachedImage(
            "corrupt", "-s 8 -c 4096 {} put " + ntfstest::Quote(photos + "/IMG_0104.JPG") + " IMG_0104.JPG put " +
                           ntfstest::Quote(photos + "/SCAN0004.PNG") + " SCAN0004.PNG");
        ASSERT_FALSE(image.empty());
        std::vector<uint8_t> disk = testutil::ReadFileBytes(image);
        bytes = std::make_shared<std::vector<uint8_t>>(disk.begin() + kStart * 512, disk.end());
        inodes = ntfstest::FlsFiles(image, kStart);
        auto probe = ImageDevice::OverMemory(bytes);
        auto vol = NtfsMount(probe.get(), Sectors());
        ASSERT_TRUE(vol);
        clusterSize = vol->clusterSize;
        recordSize = vol->mftRecordSize;
        mftLcn = vol->mftLcn;
        mirrLcn = vol->mftMirrLcn;
    }
    int64_t Sectors() const { return static_cast<int64_t>(bytes->size() / 512); }
    // Record `n` of the MFT (which mkntfs makes one run) and its copy in the mirror.
    std::span<uint8_t> Record(int64_t n) {
        return std::span<uint8_t>(*bytes).subspan(static_cast<size_t>(mftLcn * clusterSize + n * recordSize), recordSize);
    }
    std::span<uint8_t> MirrorRecord(int64_t n) {
        return std::span<uint8_t>(*bytes).subspan(static_cast<size_t>(mirrLcn * clusterSize + n * recordSize), recordSize);
    }
    // Offset of the first attribute of `type` in a record; the attributes the
    // tests change lie before the first update-sequence position (510).
    static size_t AttrOffset(std::span<const uint8_t> rec, uint32_t type) {
        size_t pos = le::u16(rec, NTFS_REC_ATTRS_OFFSET);
        while (pos + 8 < 510 && le::u32(rec, pos) != NTFS_AT_END) {
            if (le::u32(rec, pos) == type) return pos;
            pos += le::u32(rec, pos + 4);
        }
        ADD_FAILURE() << "no attribute " << type << " before offset 510";
        return 0;
    }

    struct Walked {
        int result = 0;
        std::vector<std::string> names;
    };
    Walked MountAndWalk() {
        Walked w;
        auto dev = ImageDevice::OverMemory(bytes);
        auto vol = NtfsMount(dev.get(), Sectors());
        if (!vol) {
            w.result = -100;
            return w;
        }
        CPartition partition;
        partition.SetRange(0, static_cast<uint64_t>(Sectors()));
        CPhotoItemsMgr store;
        CountingSink sink;
        CNtfsSearchPhoto walk(&partition, dev.get(), vol.get(), &store);
        w.result = walk.Do(&sink);
        w.names = Names(store);
        return w;
    }

    std::shared_ptr<std::vector<uint8_t>> bytes;
    std::map<std::string, int64_t> inodes;
    uint32_t clusterSize = 0, recordSize = 0;
    int64_t mftLcn = 0, mirrLcn = 0;
};

// Record 0 says the MFT is one run of 2^40 clusters (4 PiB): the walk reads
// no further than the volume goes.
TEST_F(DamagedNtfs, MftRunlistClaimingTwoToTheFortyClusters) {
    constexpr int64_t kClusters = int64_t{1} << 40;
    for (std::span<uint8_t> rec : {MirrorRecord(0), Record(0)}) {
        size_t data = AttrOffset(rec, NTFS_AT_DATA);
        size_t len = le::u32(rec, data + 4);
        size_t used = le::u32(rec, NTFS_REC_BYTES_IN_USE);
        // Eight more bytes for the mapping pairs: the attributes after $DATA move up.
        ASSERT_LE(used + 8, 510u);
        std::memmove(rec.data() + data + len + 8, rec.data() + data + len, used - data - len);
        le::put32(rec, data + 4, static_cast<uint32_t>(len + 8));
        le::put32(rec, NTFS_REC_BYTES_IN_USE, static_cast<uint32_t>(used + 8));
        // One run: six bytes of length, the MFT's first cluster, the end mark.
        size_t pairs = data + le::u16(rec, data + 32);
        std::vector<uint8_t> run = {0x26, 0, 0, 0, 0, 0, 1, static_cast<uint8_t>(mftLcn),
                                    static_cast<uint8_t>(mftLcn >> 8), 0};
        ASSERT_LT(mftLcn, 0x8000);
        ASSERT_LE(pairs + run.size(), data + len + 8);
        std::fill(rec.begin() + static_cast<ptrdiff_t>(pairs), rec.begin() + static_cast<ptrdiff_t>(data + len + 8), 0);
        std::memcpy(rec.data() + pairs, run.data(), run.size());
        auto put64 = [&](size_t off, int64_t v) {
            le::put32(rec, off, static_cast<uint32_t>(v));
            le::put32(rec, off + 4, static_cast<uint32_t>(static_cast<uint64_t>(v) >> 32));
        };
        put64(data + 0x18, kClusters - 1);                    // highest VCN
        put64(data + NTFS_ATTR_ALLOCATED_SIZE, kClusters * clusterSize);
        put64(data + NTFS_ATTR_DATA_SIZE, kClusters * clusterSize);
        put64(data + NTFS_ATTR_INIT_SIZE, kClusters * clusterSize);
    }
    LogCapture log;
    Walked w = MountAndWalk();
    ASSERT_NE(w.result, -100) << log.Text();
    EXPECT_TRUE(Has(w.names, "IMG_0104.JPG"));
    EXPECT_TRUE(Has(w.names, "SCAN0004.PNG"));
    EXPECT_TRUE(log.Has("MFT runlist reaches past the volume")) << log.Text().substr(0, 4000);
}

// The first attribute of a photo's record claims 0xFFFFFFFF bytes: that
// record is skipped with a message, the walk goes on to the other photo.
TEST_F(DamagedNtfs, PhotoRecordWithAttributeLengthAllOnes) {
    ASSERT_TRUE(inodes.count("IMG_0104.JPG"));
    const int64_t inode = inodes.at("IMG_0104.JPG");
    std::span<uint8_t> rec = Record(inode);
    size_t first = le::u16(rec, NTFS_REC_ATTRS_OFFSET);
    ASSERT_LT(first + 8, 510u);
    le::put32(rec, first + NTFS_ATTR_LENGTH, 0xFFFFFFFFu);
    LogCapture log;
    Walked w = MountAndWalk();
    EXPECT_EQ(w.result, 0);
    EXPECT_FALSE(Has(w.names, "IMG_0104.JPG"));
    EXPECT_TRUE(Has(w.names, "SCAN0004.PNG"));
    EXPECT_TRUE(log.Has("Corrupt Attribute, Mft No: " + std::to_string(inode) + " \n")) << log.Text().substr(0, 4000);
}

}  // namespace
