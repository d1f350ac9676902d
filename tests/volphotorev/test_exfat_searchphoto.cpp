// The exFAT walk on volumes made by mkfs.exfat and filled through exfat-fuse,
// checked against the sleuthkit reading the same images and against the
// photos that were copied in.
#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "filesystem/exfat/exfat_mount.h"
#include "io/deviceio.h"
#include "io/platform/memory_handle.h"
#include "scan_fixture.h"
#include "testutil.h"
#include "volphotorev/exfat_searchphoto.h"

namespace {

using scantest::RecordingSink;

constexpr uint64_t kStart = 2048;

std::string Utf8(const std::u16string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        char32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size()) c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
        if (c < 0x80) out += static_cast<char>(c);
        else if (c < 0x800) out += {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
        else if (c < 0x10000)
            out += {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
                    static_cast<char>(0x80 | (c & 0x3F))};
        else
            out += {static_cast<char>(0xF0 | (c >> 18)), static_cast<char>(0x80 | ((c >> 12) & 0x3F)),
                    static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
    }
    return out;
}

// A camera card's life: photos in DCIM, one written into the hole a deleted
// one left (so it is in two pieces), photos deleted afterwards (one of them in
// two pieces, one with a long name), and one deleted photo whose clusters a
// later file took.
std::string CardRecipe(const std::string& p) {
    return "mkdir -p DCIM/100CANON MISC\n"
           "cp '" + p + "/IMG_0101.JPG' DCIM/100CANON/IMG_0101.JPG\n"
           "cp '" + p + "/IMG_0102.JPG' 'DCIM/100CANON/Holiday at the beach – Café Ünïcode 日本の海.jpg'\n"
           "cp '" + p + "/IMG_0103.JPG' DCIM/100CANON/gap.jpg\n"
           "cp '" + p + "/SCAN0003.PNG' DCIM/100CANON/SCAN0003.PNG\n"
           "rm DCIM/100CANON/gap.jpg\n"
           "cp '" + p + "/IMG_0002.JPG' DCIM/100CANON/IMG_0002.JPG\n"
           "cp '" + p + "/IMG_0105.JPG' MISC/over.jpg\n"
           "rm MISC/over.jpg\n"
           "head -c 20000 /dev/zero > notes.txt\n"
           "cp '" + p + "/IMG_0103.JPG' DCIM/hole.jpg\n"
           "cp '" + p + "/ANIM0001.GIF' DCIM/ANIM0001.GIF\n"
           "rm DCIM/hole.jpg\n"
           "cp '" + p + "/IMG_0004.JPG' DCIM/split.jpg\n"
           "cp '" + p + "/IMG_0104.JPG' DCIM/small.jpg\n"
           "cp '" + p + "/SCAN0004.PNG' 'DCIM/A deleted photo with a long name.png'\n"
           "rm DCIM/split.jpg DCIM/small.jpg 'DCIM/A deleted photo with a long name.png'\n";
}

// What was copied where, by the name the walk gives.
const std::map<std::string, std::string> kLive = {
    {"IMG_0101.JPG", "IMG_0101.JPG"},
    {"Holiday at the beach – Café Ünïcode 日本の海.jpg", "IMG_0102.JPG"},
    {"SCAN0003.PNG", "SCAN0003.PNG"},
    {"IMG_0002.JPG", "IMG_0002.JPG"},
    {"ANIM0001.GIF", "ANIM0001.GIF"},
};
const std::map<std::string, std::string> kDeleted = {
    {"split.jpg", "IMG_0004.JPG"},
    {"small.jpg", "IMG_0104.JPG"},
    {"A deleted photo with a long name.png", "SCAN0004.PNG"},
};

class ExfatWalkTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::string photos = testutil::PhotosDir();
        if (photos.empty()) return;
        int status = 0;
        s_image = testutil::CachedImage(
            "exfat-card", "bash '" + testutil::ToolsDir() + "/mkexfatimage.sh' -c 4096 \"$IMAGE\" 32 \"$(cat <<'EOF'\n" +
                              CardRecipe(photos) + "EOF\n)\" >/dev/null",
            &status);
        s_skip = status == 77 ? "no loop device or FUSE here" : "";
        s_photos = photos;
    }

    void SetUp() override {
        if (s_photos.empty()) GTEST_SKIP() << "no photos";
        if (!s_skip.empty()) GTEST_SKIP() << s_skip;
        ASSERT_FALSE(s_image.empty());
        m_bytes = std::make_shared<std::vector<uint8_t>>(testutil::ReadFileBytes(s_image));
        m_handle = std::make_unique<CMemoryHandle>(m_bytes);
        m_device = std::make_unique<CVolDevice>(m_handle.get(), kStart);
        m_volume = ExfatVolume::Mount(m_device.get(), static_cast<int64_t>(m_bytes->size() / 512 - kStart));
        ASSERT_NE(m_volume, nullptr);
    }

    int Walk(RecordingSink& sink) {
        auto* op = new CExfatSearchPhoto(nullptr, m_volume.get(), &m_store);
        const int r = op->Do(&sink);
        m_live = op->LivePhotos();
        m_deleted = op->DeletedPhotos();
        op->Release();
        return r;
    }

    std::map<std::string, const PhotoItem*> Items(PhotoOrigin origin) {
        std::map<std::string, const PhotoItem*> out;
        for (auto& f : scantest::AllItems(m_store))
            if (f.item->origin == origin) out[Utf8(f.item->name)] = f.item;
        return out;
    }

    std::vector<uint8_t> ReadBack(const PhotoItem& item) {
        std::vector<uint8_t> out;
        for (const PhotoRun& r : item.runs) {
            if (r.sectorCount == 0) break;
            std::vector<uint8_t> buf(static_cast<size_t>(r.sectorCount) * 512);
            m_device->ReadSectors(static_cast<uint64_t>(r.volumeSector), static_cast<uint64_t>(r.sectorCount),
                                  buf.data());
            out.resize(static_cast<size_t>(r.fileSector) * 512);
            out.insert(out.end(), buf.begin(), buf.end());
        }
        out.resize(std::min<size_t>(out.size(), item.size));
        return out;
    }

    static std::vector<int64_t> Sectors(const PhotoItem& item) {
        std::vector<int64_t> out;
        for (const PhotoRun& r : item.runs) {
            if (r.sectorCount == 0) break;
            for (int64_t s = 0; s < r.sectorCount; ++s) out.push_back(r.volumeSector + s);
        }
        out.resize(std::min<size_t>(out.size(), (item.size + 511) / 512));
        return out;
    }

    // fls's files (deleted or live) that are photos: name -> address.
    static std::map<std::string, std::string> Fls(bool deleted) {
        std::map<std::string, std::string> out;
        std::istringstream in(testutil::Capture("fls -r -F " + std::string(deleted ? "-d" : "-u") + " -o " +
                                                std::to_string(kStart) + " '" + s_image + "'"));
        std::regex line(R"(^r/r (?:\* )?(\d+):\t(.*)$)");
        std::smatch m;
        for (std::string s; std::getline(in, s);) {
            if (!std::regex_match(s, m, line)) continue;
            std::string name = m[2];
            std::string ext = name.size() > 4 ? name.substr(name.size() - 4) : "";
            for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (ext == ".jpg" || ext == ".png" || ext == ".gif") out[name] = m[1];
        }
        return out;
    }

    // istat's sectors of a file, as many as its size needs.
    static std::vector<int64_t> IstatSectors(const std::string& addr, uint64_t size) {
        std::string text = testutil::Capture("istat -o " + std::to_string(kStart) + " '" + s_image + "' " + addr);
        std::istringstream in(text.substr(text.find("Sectors:") + 8));
        std::vector<int64_t> out;
        for (int64_t s; out.size() < (size + 511) / 512 && in >> s;) out.push_back(s);  // sectors of the volume
        return out;
    }

    // istat's "Written" time as seconds since 1970 (UTC).
    static int64_t IstatWritten(const std::string& addr) {
        std::string text = testutil::Capture("istat -o " + std::to_string(kStart) + " '" + s_image + "' " + addr);
        std::smatch m;
        if (!std::regex_search(text, m, std::regex(R"(Written:\s+(\d+)-(\d+)-(\d+) (\d+):(\d+):(\d+) \(UTC\))")))
            return -1;
        std::tm tm{};
        tm.tm_year = std::stoi(m[1]) - 1900;
        tm.tm_mon = std::stoi(m[2]) - 1;
        tm.tm_mday = std::stoi(m[3]);
        tm.tm_hour = std::stoi(m[4]);
        tm.tm_min = std::stoi(m[5]);
        tm.tm_sec = std::stoi(m[6]);
        return static_cast<int64_t>(timegm(&tm));
    }

    static inline std::string s_image, s_skip, s_photos;
    std::shared_ptr<std::vector<uint8_t>> m_bytes;
    std::unique_ptr<CMemoryHandle> m_handle;
    std::unique_ptr<CVolDevice> m_device;
    std::unique_ptr<ExfatVolume> m_volume;
    CPhotoItemsMgr m_store;
    int64_t m_live = 0, m_deleted = 0;
};

TEST_F(ExfatWalkTest, LivePhotosComeBackUnderTheirNamesWithTheSleuthKitsSectors) {
    if (!testutil::HaveTool("fls")) GTEST_SKIP() << "sleuthkit is missing";
    RecordingSink sink;
    ASSERT_EQ(Walk(sink), 0);
    auto live = Items(FileSystem);
    const auto fls = Fls(false);
    ASSERT_EQ(fls.size(), kLive.size());
    EXPECT_EQ(m_live, static_cast<int64_t>(kLive.size()));
    bool sawTwoPieces = false;
    for (const auto& [path, addr] : fls) {
        const std::string name = path.substr(path.rfind('/') + 1);
        ASSERT_TRUE(live.count(name)) << name;
        const PhotoItem& item = *live[name];
        EXPECT_EQ(Sectors(item), IstatSectors(addr, item.size)) << name;
        EXPECT_EQ(Utf8(item.folder), path.rfind('/') == std::string::npos ? "" : path.substr(0, path.rfind('/')));
        // The sleuthkit leaves out the hundredths field, which may add a second.
        const int64_t written = IstatWritten(addr);
        EXPECT_GE(item.mtime, written) << name;
        EXPECT_LE(item.mtime, written + 1) << name;
        EXPECT_EQ(ReadBack(item), testutil::ReadFileBytes(s_photos + "/" + kLive.at(name))) << name;
        size_t runs = 0;
        while (item.runs[runs].sectorCount != 0) ++runs;
        sawTwoPieces |= runs > 1;
    }
    EXPECT_TRUE(sawTwoPieces) << "the photo written into a hole should be in two pieces";
    EXPECT_EQ(live.count("Holiday at the beach – Café Ünïcode 日本の海.jpg"), 1u);
}

TEST_F(ExfatWalkTest, DeletedPhotosComeBackWholeFromTheirEntrySets) {
    RecordingSink sink;
    ASSERT_EQ(Walk(sink), 0);
    auto deleted = Items(DeletedRecord);
    std::set<std::string> names;
    for (auto& [name, item] : deleted) {
        names.insert(name);
        ASSERT_TRUE(kDeleted.count(name)) << name;
        EXPECT_EQ(ReadBack(*item), testutil::ReadFileBytes(s_photos + "/" + kDeleted.at(name))) << name;
        for (int64_t s : Sectors(*item)) {
            const uint64_t c = (static_cast<uint64_t>(s) - m_volume->HeapSector()) / m_volume->SectorsPerCluster() + 2;
            EXPECT_FALSE(m_volume->IsAllocated(static_cast<uint32_t>(c))) << name << " sector " << s;
        }
    }
    EXPECT_EQ(names.size(), kDeleted.size());
    EXPECT_EQ(m_deleted, static_cast<int64_t>(kDeleted.size()));
    if (testutil::HaveTool("fls")) {
        // The sleuthkit still lists the overwritten one; the walk must not.
        auto fls = Fls(true);
        EXPECT_TRUE(fls.count("MISC/over.jpg"));
        EXPECT_FALSE(deleted.count("over.jpg"));
        for (const auto& [name, file] : kDeleted) EXPECT_TRUE(fls.count("DCIM/" + name)) << name;
    }
}

TEST_F(ExfatWalkTest, ReportsNamesAndProgressAndStopsWhenTold) {
    RecordingSink sink;
    ASSERT_EQ(Walk(sink), 0);
    ASSERT_FALSE(sink.events.empty());
    EXPECT_EQ(sink.events.front().code, CURRENT_TASK_START);
    EXPECT_EQ(sink.events.back().code, CURRENT_TASK_FINISHED);
    EXPECT_EQ(sink.Count(PHOTO_FOUND), kLive.size() + kDeleted.size());
    int64_t total = -1, done = 0;
    for (auto& e : sink.events) {
        if (e.code == INIT_CURRENT_PROGRESS) total = e.count;
        if (e.code == UPDATE_CURRENT_PROGRESS) done += e.count;
    }
    EXPECT_EQ(total, static_cast<int64_t>(m_volume->AllocatedClusters() * m_volume->SectorsPerCluster()));
    EXPECT_GT(done, 0);
    EXPECT_LE(done, total);

    CPhotoItemsMgr other;
    RecordingSink stopper;
    stopper.stopAfterPhotos = 1;
    auto* op = new CExfatSearchPhoto(nullptr, m_volume.get(), &other);
    EXPECT_LT(op->Do(&stopper), 0);
    op->Release();
    EXPECT_EQ(other.GetItems(Jpg, 0, 0, nullptr) + other.GetItems(Png, 0, 0, nullptr) +
                  other.GetItems(Gif, 0, 0, nullptr),
              1);
}

TEST_F(ExfatWalkTest, TheBackupBootRegionStandsInForADamagedMainOne) {
    // Flip one byte the checksum covers: the main region no longer adds up.
    (*m_bytes)[kStart * 512 + 100] ^= 0xFF;
    auto volume = ExfatVolume::Mount(m_device.get(), static_cast<int64_t>(m_bytes->size() / 512 - kStart));
    ASSERT_NE(volume, nullptr);
    EXPECT_TRUE(volume->UsedBackupBootRegion());
    EXPECT_EQ(volume->ClusterCount(), m_volume->ClusterCount());
    EXPECT_EQ(volume->AllocatedClusters(), m_volume->AllocatedClusters());
    // With the backup damaged too, nothing is mounted.
    (*m_bytes)[(kStart + 12) * 512 + 100] ^= 0xFF;
    EXPECT_EQ(ExfatVolume::Mount(m_device.get(), static_cast<int64_t>(m_bytes->size() / 512 - kStart)), nullptr);
}

}  // namespace
