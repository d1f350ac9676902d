#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>
#include <sstream>

#include "../filesystem/ntfs_testsupport.h"
#include "filesystem/allocsources.h"
#include "filesystem/allounitmgr.h"
#include "filesystem/ntfs_filerecord.h"
#include "filesystem/ntfs_mount.h"
#include "io/le.h"
#include "io/partition.h"
#include "volphotorev/ntfs_searchphoto.h"
#include "photoformats/photoformat.h"
#include "volphotorev/photoitems.h"

namespace {

// The walk by names; looking inside files whose names name no photo is
// checked end to end (tests/cli).
const PhotoChoice kNamesOnly{(1u << kPhotoCategoryCount) - 1, 0, false};

using ntfstest::ImageDevice;
using ntfstest::LogCapture;

constexpr uint64_t kStart = 2048;

std::string Utf8(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string BaseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

struct Event {
    uint32_t code;
    int32_t value;
    void* data;
    int64_t units;  // *data for the progress events
};

// Records every event; `answer` decides the reply (0 when not set).
class RecordingSink : public IEventSink {
public:
    int Notify(uint32_t code, int32_t value, void* data, uint32_t reserved) override {
        EXPECT_EQ(reserved, 0u);
        int64_t units = 0;
        if ((code == INIT_CURRENT_PROGRESS || code == UPDATE_CURRENT_PROGRESS) && data)
            units = *static_cast<int64_t*>(data);
        events.push_back({code, value, data, units});
        return answer ? answer(events.back()) : 0;
    }
    size_t Count(uint32_t code) const {
        size_t n = 0;
        for (const Event& e : events) n += e.code == code;
        return n;
    }
    std::vector<Event> events;
    std::function<int(const Event&)> answer;
};

std::vector<PhotoItem*> AllItems(CPhotoItemsMgr& store) {
    std::vector<PhotoItem*> all;
    for (int c = 0; c < kPhotoCategoryCount; ++c) {
        int n = store.GetItems(c, 0, 0, nullptr);
        std::vector<PhotoItem*> part(static_cast<size_t>(n));
        if (n > 0) store.GetItems(c, 0, n, part.data());
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// A photo's bytes read back through its runs; holes read as zeros.
std::vector<uint8_t> ReadBack(IDevice* dev, const PhotoItem& item) {
    std::vector<uint8_t> out;
    for (const PhotoRun& r : item.runs) {
        if (r.sectorCount == 0) break;
        std::vector<uint8_t> buf(static_cast<size_t>(r.sectorCount) * 512, 0);
        if (r.volumeSector >= 0) {
            EXPECT_EQ(dev->ReadSectors(static_cast<uint64_t>(r.volumeSector), static_cast<uint64_t>(r.sectorCount),
                                       buf.data()),
                      static_cast<uint64_t>(r.sectorCount));
        }
        EXPECT_EQ(static_cast<size_t>(r.fileSector) * 512, out.size());
        out.insert(out.end(), buf.begin(), buf.end());
    }
    if (out.size() > item.size) out.resize(item.size);
    return out;
}

// The volume every walk test shares: real photos under their camera names
// and a few under names that test the naming rules, one split over two
// holes, one with a sparse tail, one small enough to stay resident, and,
// where FUSE works, a folder and a photo deleted again.
class NtfsPhotoWalk : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!ntfstest::HaveNtfsTools() || !testutil::HaveTool("convert")) return;
        photos = testutil::PhotosDir();
        if (photos.empty()) return;
        std::string dir = std::string(LUMIVISTA_BINARY_DIR) + "/test-images";
        std::string tiny = dir + "/tiny.gif";
        if (testutil::Run("mkdir -p " + dir + " && { [ -f " + tiny + " ] || convert " + photos +
                          "/IMG_0105.JPG -strip -resize 8x8 " + tiny + "; }") != 0)
            return;
        auto p = [](const std::string& name) { return ntfstest::Quote(photos + "/" + name); };
        std::string args = "-s 40 {}"
                           " put " + p("IMG_0001.JPG") + " IMG_0001.JPG"
                           " put " + p("IMG_0002.JPG") + " IMG_0002.JPG"
                           " put " + p("SCAN0001.PNG") + " SCAN0001.PNG"
                           " put " + p("ANIM0001.GIF") + " ANIM0001.GIF"
                           " put " + p("PAINT001.BMP") + " PAINT001.BMP"
                           " frag " + p("IMG_0101.JPG") + " FRAG0101.JPG"
                           " put " + p("IMG_0103.JPG") + " Café.jpg"
                           " put " + p("IMG_0104.JPG") + " 写真.jpg"
                           " put " + p("IMG_0102.JPG") + " A_very_long_photo_name.jpeg"
                           " put " + p("ANIM0002.GIF") + " a.gi"
                           " put " + p("ANIM0002.GIF") + " b.gif"
                           " put " + p("SCAN0003.PNG") + " scan.dat"
                           " put " + p("IMG_0103.JPG") + " SPARSE.JPG trunc SPARSE.JPG 200000"
                           " put " + ntfstest::Quote(tiny) + " TINY.GIF";
        std::string fuseArgs = "mkdir DCIM put " + p("IMG_0005.JPG") + " DCIM/IMG_0005.JPG"
                               " put " + p("IMG_0003.JPG") + " 'Holiday photo.jpg' dosname 'Holiday photo.jpg' HOLIDA~1.JPG"
                               " put " + p("IMG_0004.JPG") + " DEL.JPG rm DEL.JPG";  // last: nothing reuses its record
        image = ntfstest::CachedImage("walk", args, fuseArgs, &withFuse);
        sources = {{"IMG_0001.JPG", "IMG_0001.JPG"}, {"IMG_0002.JPG", "IMG_0002.JPG"},
                   {"SCAN0001.PNG", "SCAN0001.PNG"}, {"ANIM0001.GIF", "ANIM0001.GIF"},
                   {"PAINT001.BMP", "PAINT001.BMP"}, {"FRAG0101.JPG", "IMG_0101.JPG"},
                   {"Café.jpg", "IMG_0103.JPG"},     {"A_very_long_photo_name.jpeg", "IMG_0102.JPG"},
                   {"写真.jpg", "IMG_0104.JPG"},
                   {"b.gif", "ANIM0002.GIF"},        {"SPARSE.JPG", "IMG_0103.JPG"},
                   {"IMG_0005.JPG", "IMG_0005.JPG"}, {"Holiday photo.jpg", "IMG_0003.JPG"}};
    }

    void SetUp() override {
        if (image.empty()) GTEST_SKIP() << "NTFS tools, ImageMagick or the photos are missing";
        dev = ImageDevice::OverFile(image, kStart);
        ParInfor infor;
        infor.Off = kStart;
        infor.Len = kSectors;
        infor.Fs = FS_NTFS;
        partition.SetInfor(infor);
        vol = NtfsMount(dev.get(), kSectors);
        ASSERT_TRUE(vol);
    }

    // Runs the walk; the operation is released right after, as its owner does.
    int Walk(RecordingSink& sink, IDevice* device = nullptr) {
        auto* op = new CNtfsSearchPhoto(&partition, device ? device : dev.get(), vol.get(), &store);
        int r = op->Do(&sink);
        op->Release();
        return r;
    }

    std::map<std::string, PhotoItem*> ByName() {
        std::map<std::string, PhotoItem*> m;
        for (PhotoItem* it : AllItems(store)) {
            EXPECT_EQ(m.count(Utf8(it->name)), 0u) << Utf8(it->name);
            m[Utf8(it->name)] = it;
        }
        return m;
    }

    static constexpr int64_t kSectors = 40 * 2048;
    static inline std::string photos;
    static inline std::string image;
    static inline bool withFuse = false;
    static inline std::map<std::string, std::string> sources;  // name on the volume -> photo file

    std::unique_ptr<ImageDevice> dev;
    CPartition partition;
    std::unique_ptr<NtfsVolume> vol;
    CPhotoItemsMgr store{kNamesOnly};
};

TEST_F(NtfsPhotoWalk, FindsWhatSleuthkitListsWithNamesSizesAndRuns) {
    RecordingSink sink;
    ASSERT_EQ(Walk(sink), 0);
    std::map<std::string, PhotoItem*> found = ByName();

    // The oracle: every allocated file whose name is a photo's, less those the
    // walk leaves to others (resident data, names it cannot judge).
    std::set<std::string> expected, leftOut;
    for (auto& [path, inode] : ntfstest::FlsFiles(image, kStart)) {
        std::string name = BaseName(path);
        if (name.find(':') != std::string::npos || !PhotoFormatOfName(name)) continue;
        ntfstest::TskFile f = ntfstest::Istat(image, kStart, inode);
        if (f.resident) {
            leftOut.insert(name);
            continue;
        }
        expected.insert(name);
        ASSERT_EQ(found.count(name), 1u) << name;
        const PhotoItem& item = *found[name];
        EXPECT_EQ(static_cast<int64_t>(item.size), f.size) << name;
        EXPECT_EQ(item.origin, FileSystem);
        EXPECT_EQ(item.category, PhotoFormatOfName(name)->category);
        EXPECT_EQ(Utf8(item.folder), path.size() > name.size() ? path.substr(0, path.size() - name.size() - 1) : "");
        EXPECT_EQ(item.mtime, f.modified) << name;
        EXPECT_EQ(item.mtimeNsec, f.modifiedNsec) << name;
        // Runs against sleuthkit's cluster list (0 there for sparse clusters).
        const int64_t perCluster = vol->clusterSize / 512;
        std::vector<int64_t> ours;
        for (const PhotoRun& r : item.runs) {
            if (r.sectorCount == 0) break;
            EXPECT_EQ(r.sectorCount % perCluster, 0);
            for (int64_t s = 0; s < r.sectorCount; s += perCluster)
                ours.push_back(r.volumeSector < 0 ? 0 : (r.volumeSector + s) / perCluster);
        }
        EXPECT_EQ(ours, f.clusters) << name;
        EXPECT_EQ(item.runs.back().sectorCount, 0);
        EXPECT_EQ(item.runs.back().volumeSector, LCN_ENOENT);
    }
    std::set<std::string> names;
    for (auto& [name, item] : found) names.insert(name);
    EXPECT_EQ(names, expected);
    EXPECT_EQ(leftOut, std::set<std::string>{"TINY.GIF"});
    EXPECT_EQ(expected.count("写真.jpg"), 1u);  // judged by its whole name
    for (const char* skipped : {"a.gi", "scan.dat"}) EXPECT_EQ(found.count(skipped), 0u);
    EXPECT_EQ(expected.count("Café.jpg"), 1u);
    EXPECT_EQ(expected.count("SPARSE.JPG"), 1u);
    if (withFuse) {
        EXPECT_EQ(expected.count("IMG_0005.JPG"), 1u);
        // Its DOS name comes first in the record; the Win32 name is the one stored.
        EXPECT_EQ(expected.count("Holiday photo.jpg"), 1u);
        EXPECT_EQ(found.count("HOLIDA~1.JPG"), 0u);
    }
}

// Whether a deleted file's clusters are free is the map of used sectors'
// to say: without it, deleted records are not looked at.
TEST_F(NtfsPhotoWalk, WithoutTheMapDeletedRecordsAreNotLookedAt) {
    if (!withFuse) GTEST_SKIP() << "deleting a file needs an ntfs-3g FUSE mount, unavailable here";
    std::vector<std::string> deleted = ntfstest::FlsDeleted(image, kStart);
    ASSERT_NE(std::find(deleted.begin(), deleted.end(), "DEL.JPG"), deleted.end());
    RecordingSink sink;
    ASSERT_EQ(Walk(sink), 0);
    EXPECT_EQ(ByName().count("DEL.JPG"), 0u);
}

TEST_F(NtfsPhotoWalk, PhotosReadBackByteExact) {
    RecordingSink sink;
    ASSERT_EQ(Walk(sink), 0);
    std::map<std::string, PhotoItem*> found = ByName();
    ASSERT_EQ(found.count("FRAG0101.JPG"), 1u);
    EXPECT_GE(found["FRAG0101.JPG"]->runs.size(), 3u);  // two runs and the terminator
    ASSERT_EQ(found.count("SPARSE.JPG"), 1u);
    EXPECT_EQ(found["SPARSE.JPG"]->runs[1].volumeSector, LCN_HOLE);
    for (auto& [name, item] : found) {
        ASSERT_EQ(sources.count(name), 1u) << name;
        std::vector<uint8_t> want = ntfstest::ReadAll(photos + "/" + sources[name]);
        if (name == "SPARSE.JPG") want.resize(200000, 0);
        std::vector<uint8_t> got = ReadBack(dev.get(), *item);
        EXPECT_TRUE(got == want) << name << ": " << got.size() << " bytes read back, " << want.size() << " expected";
    }
}

TEST_F(NtfsPhotoWalk, EventsOfOneWalk) {
    RecordingSink sink;
    ASSERT_EQ(Walk(sink), 0);
    ASSERT_GE(sink.events.size(), 3u);
    EXPECT_EQ(sink.events.front().code, CURRENT_TASK_START);
    EXPECT_EQ(sink.events.front().data, &partition);
    EXPECT_EQ(sink.events[1].code, INIT_CURRENT_PROGRESS);
    EXPECT_EQ(sink.events.back().code, CURRENT_TASK_FINISHED);
    // Progress counts file records: the $MFT's initialized size says how many.
    int64_t records = ntfstest::Istat(image, kStart, 0).size / vol->mftRecordSize;
    EXPECT_EQ(sink.events[1].units, records);
    EXPECT_EQ(static_cast<int64_t>(sink.Count(UPDATE_CURRENT_PROGRESS)), (records + 9) / 10);
    for (const Event& e : sink.events) {
        if (e.code == UPDATE_CURRENT_PROGRESS) {
            EXPECT_EQ(e.units, 5);
        } else if (e.code == PHOTO_FOUND) {
            EXPECT_EQ(e.value, 1);
        }
    }
    EXPECT_EQ(sink.Count(PHOTO_FOUND), AllItems(store).size());
    EXPECT_EQ(sink.Count(CURRENT_FILE_NAME), 0u);
}

TEST_F(NtfsPhotoWalk, StopRequests) {
    RecordingSink atStart;
    atStart.answer = [](const Event&) { return -7; };
    EXPECT_EQ(Walk(atStart), -7);
    EXPECT_EQ(atStart.events.size(), 1u);

    LogCapture log;
    RecordingSink atInit;
    atInit.answer = [](const Event& e) { return e.code == INIT_CURRENT_PROGRESS ? -1 : 0; };
    EXPECT_EQ(Walk(atInit), -1);
    EXPECT_TRUE(log.Has("Notify(IEventSink::INIT_CURRENT_PROGRESS) failed, ClustersToCopy: "));
    EXPECT_EQ(atInit.events.size(), 2u);

    // Stopped at the eighth report (record 70, after the system files and the
    // first photos): what was stored stays, and the step does not finish.
    RecordingSink later;
    int updates = 0;
    later.answer = [&](const Event& e) { return e.code == UPDATE_CURRENT_PROGRESS && ++updates == 8 ? -1 : 0; };
    EXPECT_LT(Walk(later), 0);
    EXPECT_EQ(later.events.back().code, UPDATE_CURRENT_PROGRESS);
    EXPECT_EQ(later.Count(CURRENT_TASK_FINISHED), 0u);
    size_t stored = AllItems(store).size();
    EXPECT_GT(stored, 0u);
    EXPECT_EQ(later.Count(PHOTO_FOUND), stored);
    RecordingSink full;
    CPhotoItemsMgr fullStore{kNamesOnly};
    auto* op = new CNtfsSearchPhoto(&partition, dev.get(), vol.get(), &fullStore);
    EXPECT_EQ(op->Do(&full), 0);
    op->Release();
    EXPECT_LT(stored, AllItems(fullStore).size());
}


// A map of used sectors (512 bytes each) from a cluster bitmap.
std::unique_ptr<CAlloUnitMgr> MapOf(const std::vector<uint8_t>& bitmap, int64_t clusters, int64_t perCluster) {
    auto map = std::make_unique<CAlloUnitMgr>();
    EXPECT_EQ(map->InitFree(clusters * perCluster), 0);
    map->SetUsedByClusterBitmap(bitmap, clusters, 0, perCluster);
    return map;
}

// A volume written and then partly deleted through ntfs-3g: live photos with
// long Unicode names in nested folders; a photo split over two holes, then
// deleted; deleted photos with accents and CJK in their names; a deleted
// folder with its photos; and a photo whose folder was deleted and whose
// folder's record was then given to a new file.
class NtfsDeletedWalk : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!ntfstest::HaveNtfsTools()) return;
        photos = testutil::PhotosDir();
        if (photos.empty()) return;
        const std::string dir = std::string(LUMIVISTA_BINARY_DIR) + "/test-images";
        const std::string note = dir + "/note.txt";
        if (testutil::Run("mkdir -p " + dir + " && echo a small note > " + note) != 0) return;
        auto p = [](const std::string& name) { return ntfstest::Quote(photos + "/" + name); };
        using ntfstest::Quote;
        // Every action needs FUSE; the folder of the lost photo is made first so
        // that its record is the first one free again for the new note.
        const std::string actions =
            "mkdir Temp mkdir " + Quote("Photos/2023/Été") +
            " put " + p("IMG_0005.JPG") + " " + Quote("Photos/2023/Été/Plage à Nice – coucher de soleil.jpg") +
            " put " + p("IMG_0104.JPG") + " " + Quote("Photos/渋谷スクランブル交差点.jpg") +
            " put " + p("IMG_0105.JPG") + " " + Quote("Κνωσός.jpg") +
            " frag " + p("IMG_0101.JPG") + " " + Quote("Photos/2023/Fragmenté.jpg") +
            " put " + p("IMG_0103.JPG") + " " + Quote("Photos/2023/Été/Crème brûlée.jpg") +
            " put " + p("IMG_0102.JPG") + " " + Quote("Photos/東京タワー.jpg") +
            " mkdir Vacances put " + p("SCAN0003.PNG") + " " + Quote("Vacances/Mont Saint-Michel.png") +
            " put " + p("ANIM0001.GIF") + " Vacances/carte.gif"
            " put " + p("IMG_0104.JPG") + " Temp/lost.jpg rm Temp/lost.jpg rmtree Temp put " + Quote(note) + " NOTE.TXT"
            " rm " + Quote("Photos/2023/Fragmenté.jpg") + " rm " + Quote("Photos/2023/Été/Crème brûlée.jpg") +
            " rm " + Quote("Photos/東京タワー.jpg") + " rmtree Vacances";
        image = ntfstest::CachedImage("deleted", "-s 40 {}", actions, &withFuse);
    }

    void SetUp() override {
        if (image.empty()) GTEST_SKIP() << "NTFS tools or the photos are missing";
        if (!withFuse) GTEST_SKIP() << "deleting files needs an ntfs-3g FUSE mount, unavailable here";
        dev = ImageDevice::OverFile(image, kStart);
        vol = NtfsMount(dev.get(), kSectors);
        ASSERT_TRUE(vol);
        // The map as the scan task makes it, from $Bitmap.
        map = std::make_unique<CAlloUnitMgr>();
        ASSERT_EQ(map->InitFromSource(kSectors, MakeNtfsAllocSource(dev.get(), vol.get())), 0);
    }

    int Walk(RecordingSink& sink) {
        auto* op = new CNtfsSearchPhoto(&partition, dev.get(), vol.get(), &store);
        op->SetAllocationMap(map.get());
        int r = op->Do(&sink);
        op->Release();
        return r;
    }

    // fls -d: deleted regular files, path -> inode.
    std::map<std::string, int64_t> FlsDeletedFiles() const {
        std::map<std::string, int64_t> out;
        std::istringstream in(testutil::Capture("fls -r -p -F -d -o " + std::to_string(kStart) + " " +
                                                ntfstest::Quote(image)));
        for (std::string line; std::getline(in, line);) {
            const size_t tab = line.find('\t');
            if (line.rfind("-/r * ", 0) != 0 || tab == std::string::npos) continue;
            out[line.substr(tab + 1)] = std::stoll(line.substr(6));
        }
        return out;
    }

    static constexpr int64_t kSectors = 40 * 2048;
    static inline std::string photos, image;
    static inline bool withFuse = false;
    std::unique_ptr<ImageDevice> dev;
    std::unique_ptr<NtfsVolume> vol;
    std::unique_ptr<CAlloUnitMgr> map;
    CPartition partition;
    CPhotoItemsMgr store;
};

TEST_F(NtfsDeletedWalk, DeletedPhotosComeBackWholeUnderTheirNamesAndFolders) {
    RecordingSink sink;
    ASSERT_EQ(Walk(sink), 0);
    std::map<std::string, PhotoItem*> deleted, live;
    for (PhotoItem* item : AllItems(store)) {
        const std::string path = item->folder.empty() ? Utf8(item->name) : Utf8(item->folder) + "/" + Utf8(item->name);
        auto& into = item->origin == DeletedRecord ? deleted : live;
        EXPECT_EQ(into.count(path), 0u) << path << " twice";
        into[path] = item;
    }
    EXPECT_EQ(live.size(), 3u);
    EXPECT_EQ(live.count("Photos/2023/Été/Plage à Nice – coucher de soleil.jpg"), 1u);
    EXPECT_EQ(live.count("Photos/渋谷スクランブル交差点.jpg"), 1u);
    EXPECT_EQ(live.count("Κνωσός.jpg"), 1u);

    const std::map<std::string, std::string> sources = {
        {"Photos/2023/Fragmenté.jpg", "IMG_0101.JPG"},   {"Photos/2023/Été/Crème brûlée.jpg", "IMG_0103.JPG"},
        {"Photos/東京タワー.jpg", "IMG_0102.JPG"},        {"Vacances/Mont Saint-Michel.png", "SCAN0003.PNG"},
        {"Vacances/carte.gif", "ANIM0001.GIF"},          {"lost.jpg", "IMG_0104.JPG"},
    };
    // Sleuthkit's view of the same records: paths (an orphan under
    // $OrphanFiles), sizes, clusters and times.
    size_t compared = 0;
    for (const auto& [tskPath, inode] : FlsDeletedFiles()) {
        const std::string name = BaseName(tskPath);
        if (!PhotoFormatOfName(name)) continue;
        const ntfstest::TskFile f = ntfstest::Istat(image, kStart, inode);
        std::string path = tskPath;
        if (path.rfind("$OrphanFiles/", 0) == 0) path = "Lost folder " + std::to_string(f.parent) + "/" + name;
        ASSERT_EQ(deleted.count(path), 1u) << path;
        const PhotoItem& item = *deleted[path];
        ++compared;
        EXPECT_EQ(static_cast<int64_t>(item.size), f.size) << path;
        EXPECT_EQ(item.mtime, f.modified) << path;
        EXPECT_EQ(item.mtimeNsec, f.modifiedNsec) << path;
        const int64_t perCluster = vol->clusterSize / 512;
        std::vector<int64_t> ours;
        for (const PhotoRun& r : item.runs) {
            if (r.sectorCount == 0) break;
            for (int64_t sct = 0; sct < r.sectorCount; sct += perCluster) ours.push_back((r.volumeSector + sct) / perCluster);
        }
        EXPECT_EQ(ours, f.clusters) << path;
        ASSERT_EQ(sources.count(tskPath.rfind("$OrphanFiles/", 0) == 0 ? name : tskPath), 1u) << tskPath;
        EXPECT_TRUE(ReadBack(dev.get(), item) ==
                    ntfstest::ReadAll(photos + "/" + sources.at(tskPath.rfind("$OrphanFiles/", 0) == 0 ? name : tskPath)))
            << path;
    }
    EXPECT_EQ(compared, sources.size());
    EXPECT_EQ(deleted.size(), sources.size());
    // The split photo comes back whole through both of its runs.
    ASSERT_EQ(deleted.count("Photos/2023/Fragmenté.jpg"), 1u);
    EXPECT_GE(deleted["Photos/2023/Fragmenté.jpg"]->runs.size(), 3u);
    // The lost photo's folder is named for the record the note took.
    bool lost = false;
    for (const auto& [path, item] : deleted) lost |= path.rfind("Lost folder ", 0) == 0 && BaseName(path) == "lost.jpg";
    EXPECT_TRUE(lost);
}

// Damage to single records over a copy of the volume in memory.
class NtfsPhotoWalkDamaged : public NtfsPhotoWalk {
protected:
    void SetUp() override {
        NtfsPhotoWalk::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        std::vector<uint8_t> disk = ntfstest::ReadAll(image);
        bytes = std::make_shared<std::vector<uint8_t>>(disk.begin() + kStart * 512, disk.end());
        mem = ImageDevice::OverMemory(bytes);
        inodes = ntfstest::FlsFiles(image, kStart);
    }
    // The bytes of a file's record in the memory copy.
    std::span<uint8_t> RecordOf(const std::string& name) {
        int64_t byte = inodes.at(name) * vol->mftRecordSize;
        int64_t vcn = byte >> vol->clusterSizeBits;
        for (const RunlistElement& e : vol->mftRunlist) {
            if (e.length != 0 && vcn >= e.vcn && vcn < e.vcn + e.length) {
                size_t at = static_cast<size_t>(((e.lcn + vcn - e.vcn) << vol->clusterSizeBits) +
                                                (byte & (vol->clusterSize - 1)));
                return std::span<uint8_t>(*bytes).subspan(at, vol->mftRecordSize);
            }
        }
        ADD_FAILURE() << name << " not in the MFT";
        return {};
    }
    std::shared_ptr<std::vector<uint8_t>> bytes;
    std::unique_ptr<ImageDevice> mem;
    std::map<std::string, int64_t> inodes;
};

TEST_F(NtfsPhotoWalkDamaged, CorruptRecordsAreSkippedAndTheRestFound) {
    std::span<uint8_t> signature = RecordOf("IMG_0002.JPG");
    std::memcpy(signature.data(), "BAAD", 4);
    // An attribute of length 0 after the standard information.
    std::span<uint8_t> zeroLength = RecordOf("SCAN0001.PNG");
    size_t first = le::u16(zeroLength, NTFS_REC_ATTRS_OFFSET);
    le::put32(zeroLength, first + le::u32(zeroLength, first + 4) + 4, 0);
    // Mapping pairs with a length field of nine bytes.
    std::span<uint8_t> pairs = RecordOf("ANIM0001.GIF");
    NtfsAttrWalker walker(pairs);
    for (auto a = walker.Next(); !a.empty(); a = walker.Next()) {
        if (le::u32(a, 0) == NTFS_AT_DATA) {
            size_t at = static_cast<size_t>(a.data() - pairs.data()) + le::u16(a, 32);
            pairs[at] = 0x19;
        }
    }
    // An extension record that would otherwise be a photo.
    std::span<uint8_t> extension = RecordOf("PAINT001.BMP");
    le::put32(extension, NTFS_REC_BASE_RECORD, 5);

    LogCapture log;
    RecordingSink sink;
    ASSERT_EQ(Walk(sink, mem.get()), 0);
    std::map<std::string, PhotoItem*> found = ByName();
    for (const char* gone : {"IMG_0002.JPG", "SCAN0001.PNG", "ANIM0001.GIF", "PAINT001.BMP"})
        EXPECT_EQ(found.count(gone), 0u) << gone;
    for (const char* kept : {"IMG_0001.JPG", "FRAG0101.JPG", "b.gif"}) EXPECT_EQ(found.count(kept), 1u) << kept;
    EXPECT_TRUE(log.Has("Invalide File Record. \n"));
    EXPECT_TRUE(log.Has("Corrupt Attribute, Mft No: " + std::to_string(inodes.at("SCAN0001.PNG"))));
    EXPECT_TRUE(log.Has("Extend MFT Record. No: " + std::to_string(inodes.at("PAINT001.BMP")) + " \n"));
    EXPECT_TRUE(log.Has("Mft: " + std::to_string(inodes.at("IMG_0001.JPG")) + " \n."));
}

TEST_F(NtfsPhotoWalkDamaged, UnreadableMftEndsTheWalkWithWhatWasFound) {
    LogCapture log;
    vol->mftRunlist = {{0, vol->mftLcn, 1}, {1, LCN_HOLE, 1000}, {1001, LCN_ENOENT, 0}};
    RecordingSink sink;
    EXPECT_EQ(Walk(sink, mem.get()), -1);
    EXPECT_TRUE(log.Has("NtfsReadRl failed, Lcn off: 0, Len: "));
    EXPECT_EQ(sink.Count(CURRENT_TASK_FINISHED), 0u);
}

// Hand-made file records for the naming and data rules.
class RecordRules : public ::testing::Test {
protected:
    void SetUp() override {
        vol.sectorSize = 512;
        vol.sectorSizeBits = 9;
        vol.clusterSize = 4096;
        vol.clusterSizeBits = 12;
        vol.mftRecordSize = 1024;
        vol.mftRecordSizeBits = 10;
    }

    struct Rec {
        std::vector<uint8_t> b = std::vector<uint8_t>(1024);
        size_t pos = 0x38;
        Rec() {
            std::memcpy(b.data(), "FILE", 4);
            le::put16(b, NTFS_REC_USA_OFFSET, 0x30);
            le::put16(b, NTFS_REC_USA_COUNT, 3);
            le::put16(b, NTFS_REC_ATTRS_OFFSET, 0x38);
            le::put16(b, NTFS_REC_FLAGS, 1);
            le::put16(b, 0x30, 7);
            le::put16(b, 510, 7);
            le::put16(b, 1022, 7);
            End();
        }
        void End() {
            le::put32(b, pos, NTFS_AT_END);
            le::put32(b, NTFS_REC_BYTES_IN_USE, static_cast<uint32_t>(pos + 8));
        }
        size_t Attr(uint32_t type, size_t len) {
            size_t at = pos;
            le::put32(b, at, type);
            le::put32(b, at + 4, static_cast<uint32_t>(len));
            pos += len;
            End();
            return at;
        }
        // A name in the root folder (record 5, sequence 5) unless told otherwise.
        Rec& Name(const std::u16string& name, uint8_t ns, uint64_t parent = 5 | (uint64_t{5} << 48)) {
            size_t valueLen = 0x42 + 2 * name.size();
            size_t at = Attr(NTFS_AT_FILE_NAME, (0x18 + valueLen + 7) & ~size_t{7});
            le::put32(b, at + NTFS_ATTR_VALUE_LENGTH, static_cast<uint32_t>(valueLen));
            le::put16(b, at + NTFS_ATTR_VALUE_OFFSET, 0x18);
            le::put32(b, at + 0x18, static_cast<uint32_t>(parent));
            le::put32(b, at + 0x18 + 4, static_cast<uint32_t>(parent >> 32));
            b[at + 0x18 + 0x40] = static_cast<uint8_t>(name.size());
            b[at + 0x18 + 0x41] = ns;
            for (size_t i = 0; i < name.size(); ++i) le::put16(b, at + 0x18 + 0x42 + 2 * i, name[i]);
            return *this;
        }
        Rec& Data(const std::vector<uint8_t>& pairs, int64_t clusters, uint32_t size) {
            size_t at = Attr(NTFS_AT_DATA, (0x40 + pairs.size() + 7) & ~size_t{7});
            b[at + 8] = 1;
            le::put32(b, at + 24, static_cast<uint32_t>(clusters - 1));
            le::put16(b, at + 32, 0x40);
            le::put32(b, at + NTFS_ATTR_ALLOCATED_SIZE, static_cast<uint32_t>(clusters * 4096));
            le::put32(b, at + NTFS_ATTR_DATA_SIZE, size);
            le::put32(b, at + NTFS_ATTR_INIT_SIZE, size);
            std::memcpy(b.data() + at + 0x40, pairs.data(), pairs.size());
            return *this;
        }
        // Not in use any more.
        Rec& Free() {
            le::put16(b, NTFS_REC_FLAGS, 0);
            return *this;
        }
        // A folder's record with its sequence number.
        Rec& Dir(uint16_t sequence, bool inUse) {
            le::put16(b, NTFS_REC_FLAGS, inUse ? 3 : 2);
            le::put16(b, 0x10, sequence);
            return *this;
        }
        Rec& ResidentBytes(const std::vector<uint8_t>& bytes) {
            size_t at = Attr(NTFS_AT_DATA, (0x18 + bytes.size() + 7) & ~size_t{7});
            le::put32(b, at + NTFS_ATTR_VALUE_LENGTH, static_cast<uint32_t>(bytes.size()));
            le::put16(b, at + NTFS_ATTR_VALUE_OFFSET, 0x18);
            std::memcpy(b.data() + at + 0x18, bytes.data(), bytes.size());
            return *this;
        }
        Rec& ResidentData(uint32_t size) {
            size_t at = Attr(NTFS_AT_DATA, (0x18 + size + 7) & ~size_t{7});
            le::put32(b, at + NTFS_ATTR_VALUE_LENGTH, size);
            le::put16(b, at + NTFS_ATTR_VALUE_OFFSET, 0x18);
            return *this;
        }
    };

    // The items DealWithRecord stored for one record.
    std::vector<PhotoItem*> Deal(Rec& r) {
        CNtfsSearchPhoto op(nullptr, nullptr, &vol, &store);
        EXPECT_EQ(op.DealWithRecord(r.b, 42), 0);
        op.FillFolders();
        return AllItems(store);
    }

    NtfsVolume vol;
    CPhotoItemsMgr store{kNamesOnly};
    const std::vector<uint8_t> oneRun = {0x11, 0x02, 0x20, 0x00};  // 2 clusters at 0x20
};

TEST_F(RecordRules, PosixNameWhenThereIsNoWin32Name) {
    Rec r;
    r.Name(u"IMG_00~1.JPG", 2).Name(u"img_0001.jpg", 0).Data(oneRun, 2, 5000);
    auto items = Deal(r);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0]->name, u"img_0001.jpg");
    EXPECT_EQ(items[0]->size, 5000u);
    ASSERT_EQ(items[0]->runs.size(), 2u);
    EXPECT_EQ(items[0]->runs[0].fileSector, 0);
    EXPECT_EQ(items[0]->runs[0].volumeSector, 0x20 * 8);
    EXPECT_EQ(items[0]->runs[0].sectorCount, 16);
    EXPECT_EQ(items[0]->runs[1].sectorCount, 0);
}

TEST_F(RecordRules, Win32NameWhateverTheOrder) {
    Rec a, b, c;
    a.Name(u"Summer Holiday.jpg", 1).Name(u"SUMMER~1.JPG", 2).Data(oneRun, 2, 5000);
    b.Name(u"SUMMER~1.JPG", 2).Name(u"Summer Holiday.jpg", 1).Data(oneRun, 2, 5000);
    c.Name(u"summer.jpg", 0).Name(u"Summer Holiday.jpg", 3).Data(oneRun, 2, 5000);
    for (Rec* r : {&a, &b, &c}) {
        CPhotoItemsMgr one{kNamesOnly};
        CNtfsSearchPhoto op(nullptr, nullptr, &vol, &one);
        op.DealWithRecord(r->b, 1);
        op.FillFolders();
        auto items = AllItems(one);
        ASSERT_EQ(items.size(), 1u);
        EXPECT_EQ(items[0]->name, u"Summer Holiday.jpg");
    }
}

TEST_F(RecordRules, NamesAreJudgedWhole) {
    Rec shortName, justLongEnough, cjk, latin1, greek, dotless;
    shortName.Name(u"a.gi", 1).Data(oneRun, 2, 5000);
    justLongEnough.Name(u"a.gif", 1).Data(oneRun, 2, 5000);
    cjk.Name(u"渋谷スクランブル交差点.jpg", 1).Data(oneRun, 2, 5000);
    latin1.Name(u"été.jpg", 1).Data(oneRun, 2, 5000);
    greek.Name(u"Κνωσός.JPEG", 1).Data(oneRun, 2, 5000);
    dotless.Name(u"Κνωσός jpg", 1).Data(oneRun, 2, 5000);
    EXPECT_TRUE(Deal(shortName).empty());
    ASSERT_EQ(Deal(justLongEnough).size(), 1u);
    EXPECT_EQ(AllItems(store)[0]->category, Gif);
    ASSERT_EQ(Deal(cjk).size(), 2u);
    ASSERT_EQ(Deal(latin1).size(), 3u);
    ASSERT_EQ(Deal(greek).size(), 4u);
    ASSERT_EQ(Deal(dotless).size(), 4u);
    EXPECT_EQ(AllItems(store)[2]->name, u"Κνωσός.JPEG");  // the JPEGs come first
}

TEST_F(RecordRules, DataThatIsNotStored) {
    Rec resident, list, corrupt, none;
    resident.Name(u"small.gif", 1).ResidentData(400);
    list.Name(u"IMG_0001.JPG", 1).Attr(0x20, 0x40);  // $DATA lives in an extension record
    corrupt.Name(u"IMG_0001.JPG", 1).Data({0x19, 0x02}, 2, 5000);
    none.Name(u"IMG_0001.JPG", 1);
    for (Rec* r : {&resident, &list, &corrupt, &none}) EXPECT_TRUE(Deal(*r).empty());
}

TEST_F(RecordRules, HolesStayVisibleInTheRuns) {
    Rec r;
    // 2 clusters at 0x20, a hole of 3, 1 cluster at 0x30.
    r.Name(u"sparse.png", 1).Data({0x11, 0x02, 0x20, 0x01, 0x03, 0x11, 0x01, 0x10, 0x00}, 6, 24000);
    auto items = Deal(r);
    ASSERT_EQ(items.size(), 1u);
    const auto& runs = items[0]->runs;
    ASSERT_EQ(runs.size(), 4u);
    EXPECT_EQ(runs[1].fileSector, 16);
    EXPECT_EQ(runs[1].volumeSector, LCN_HOLE);
    EXPECT_EQ(runs[1].sectorCount, 24);
    EXPECT_EQ(runs[2].volumeSector, 0x30 * 8);
    EXPECT_EQ(runs[3].sectorCount, 0);
}

// Runs reaching past the volume would read whatever follows the partition.
TEST_F(RecordRules, RunsPastTheVolumesEndAreNotStored) {
    Rec r;
    r.Name(u"far.jpg", 1).Data(oneRun, 2, 5000);  // clusters 0x20 and 0x21
    vol.numberOfClusters = 0x21;
    LogCapture log;
    EXPECT_TRUE(Deal(r).empty());
    EXPECT_TRUE(log.Has("Runs past the volume's end, Mft No: 42, Lcn: 32, Len: 2 \n"));
    vol.numberOfClusters = 0x22;
    EXPECT_EQ(Deal(r).size(), 1u);
}

// An MFT of two batches, of empty records but for a photo at record 20: a
// record of the second batch that cannot be read holds no record, not the
// one the first batch left at its place in the buffer.
TEST_F(RecordRules, UnreadableRecordOfTheSecondBatchIsNoCopyOfTheFirst) {
    constexpr int64_t kRecords = 9000, kClusters = kRecords / 4, kMftLcn = 16;
    auto bytes = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>((kMftLcn + kClusters) * 4096));
    Rec photo;
    photo.Name(u"IMG_0001.JPG", 1).Data(oneRun, 2, 5000);
    std::copy(photo.b.begin(), photo.b.end(), bytes->begin() + kMftLcn * 4096 + 20 * 1024);
    // The scan's own device, whose tolerant read leaves unreadable sectors alone.
    CMemoryHandle handle(bytes, true);
    const uint64_t twin = kMftLcn * 8 + (8192 + 20) * 2;  // record 8212's two sectors
    handle.SetBadSectors({twin, twin + 1});
    CVolDevice dev(&handle, 0);
    vol.mftRecord.assign(1024, 0);
    std::span<uint8_t> attr(vol.mftRecord.data(), 0x48);
    le::put32(attr, NTFS_ATTR_ALLOCATED_SIZE, static_cast<uint32_t>(kClusters * 4096));
    le::put32(attr, NTFS_ATTR_INIT_SIZE, static_cast<uint32_t>(kRecords * 1024));
    vol.mftData = attr;
    vol.mftRunlist = {{0, kMftLcn, kClusters}, {kClusters, LCN_ENOENT, 0}};
    vol.numberOfClusters = kMftLcn + kClusters;
    CPartition partition;
    CNtfsSearchPhoto op(&partition, &dev, &vol, &store);
    RecordingSink sink;
    ASSERT_EQ(op.Do(&sink), 0);
    EXPECT_EQ(AllItems(store).size(), 1u);
}

TEST_F(RecordRules, TornRecordIsExaminedAsItIs) {
    Rec r;
    r.Name(u"torn.jpg", 1).Data(oneRun, 2, 5000);
    le::put16(r.b, 1022, 8);  // the second block's tail does not match
    EXPECT_EQ(Deal(r).size(), 1u);
}

// Folder paths climb the parent references through the folders' records.
TEST_F(RecordRules, FolderPathsThroughParentReferences) {
    auto ref = [](uint64_t record, uint64_t sequence) { return record | (sequence << 48); };
    Rec dcim, canon, loop1, loop2;
    dcim.Dir(3, true).Name(u"DCIM", 1);
    canon.Dir(2, false).Name(u"100CANON", 1, ref(30, 3));  // deleted: its sequence went up by one
    loop1.Dir(7, true).Name(u"Loop1", 1, ref(33, 1));
    loop2.Dir(1, true).Name(u"Loop2", 1, ref(32, 7));
    CNtfsSearchPhoto op(nullptr, nullptr, &vol, &store);
    op.DealWithRecord(dcim.b, 30);
    op.DealWithDeletedRecord(canon.b, 31);
    op.DealWithRecord(loop1.b, 32);
    op.DealWithRecord(loop2.b, 33);
    struct Case {
        uint64_t parent;
        std::u16string folder;
    } cases[] = {
        {ref(5, 5), u""},
        {ref(30, 3), u"DCIM"},
        {ref(31, 1), u"DCIM/100CANON"},   // referred to before the folder was deleted
        {ref(31, 2), u"DCIM/100CANON"},
        {ref(31, 5), u"Lost folder 31"},  // the record holds another folder now
        {ref(30, 2), u"Lost folder 30"},  // a folder in use under another sequence
        {ref(40, 1), u"Lost folder 40"},  // no folder record at all
        {ref(30, 0), u"DCIM"},            // no sequence to check
    };
    for (const Case& c : cases) EXPECT_EQ(op.FolderOf(c.parent), c.folder) << (c.parent & 0xFFFF);
    // Folders that are each other's parent: the climb ends.
    const std::u16string looped = op.FolderOf(ref(32, 7));
    EXPECT_EQ(looped.rfind(u"Lost folder ", 0), 0u);
    EXPECT_LT(looped.size(), 64u);
}

// Deleted records over a memory volume whose clusters 0x20 and 0x21 hold a
// real JPEG and cluster 0x30 a real GIF, all free in the bitmap.
class DeletedRecordRules : public RecordRules {
protected:
    void SetUp() override {
        RecordRules::SetUp();
        const std::string photos = testutil::PhotosDir();
        if (photos.empty()) GTEST_SKIP() << "no photos";
        jpeg = ntfstest::ReadAll(photos + "/IMG_0105.JPG");
        gif = ntfstest::ReadAll(photos + "/ANIM0002.GIF");
        ASSERT_TRUE(jpeg.size() > 4096 && jpeg.size() <= 8192 && gif.size() <= 4096);
        auto bytes = std::make_shared<std::vector<uint8_t>>(0x40 * 4096);
        std::copy(jpeg.begin(), jpeg.end(), bytes->begin() + 0x20 * 4096);
        std::copy(gif.begin(), gif.end(), bytes->begin() + 0x30 * 4096);
        dev = ImageDevice::OverMemory(bytes);
        vol.numberOfClusters = 0x40;
    }
    std::vector<PhotoItem*> DealDeleted(Rec& r, CNtfsSearchPhoto* op = nullptr) {
        CNtfsSearchPhoto own(nullptr, dev.get(), &vol, &store);
        if (!op) op = &own;
        op->SetAllocationMap(map.get());
        EXPECT_EQ(op->DealWithDeletedRecord(r.b, 42), 0);
        op->FillFolders();
        return AllItems(store);
    }
    std::vector<uint8_t> jpeg, gif;
    std::unique_ptr<CAlloUnitMgr> map = MapOf(std::vector<uint8_t>(8, 0), 0x40, 8);
    std::unique_ptr<ImageDevice> dev;
};

TEST_F(DeletedRecordRules, StoredOnlyWhileItsClustersHoldThePhoto) {
    const uint32_t size = static_cast<uint32_t>(jpeg.size());
    struct Case {
        const char* what;
        std::function<void(Rec&, std::vector<uint8_t>&)> make;
        bool stored;
    } cases[] = {
        {"whole", [&](Rec& r, auto&) { r.Name(u"IMG_0105.JPG", 1).Data(oneRun, 2, size); }, true},
        {"a cluster in use again",
         [&](Rec& r, auto& bm) { r.Name(u"IMG_0105.JPG", 1).Data(oneRun, 2, size), bm[0x21 / 8] |= 1 << (0x21 % 8); },
         false},
        {"named a GIF", [&](Rec& r, auto&) { r.Name(u"IMG_0105.gif", 1).Data(oneRun, 2, size); }, false},
        {"over the GIF's cluster",
         [&](Rec& r, auto&) { r.Name(u"IMG_0105.JPG", 1).Data({0x11, 0x01, 0x30, 0x00}, 1, 4000); }, false},
        {"fixup broken",
         [&](Rec& r, auto&) { r.Name(u"IMG_0105.JPG", 1).Data(oneRun, 2, size), le::put16(r.b, 1022, 8); }, false},
        {"half a surrogate in the name",
         [&](Rec& r, auto&) { r.Name(u"IMG\xD800_0105.JPG", 1).Data(oneRun, 2, size); }, false},
        {"size 0", [&](Rec& r, auto&) { r.Name(u"IMG_0105.JPG", 1).Data(oneRun, 2, 0); }, false},
        {"runs past the volume",
         [&](Rec& r, auto&) { r.Name(u"IMG_0105.JPG", 1).Data({0x11, 0x02, 0x3F, 0x00}, 2, size); }, false},
        {"more extents in another record",
         [&](Rec& r, auto&) { r.Name(u"IMG_0105.JPG", 1).Data(oneRun, 4, size); }, false},
        {"size beyond its clusters", [&](Rec& r, auto&) { r.Name(u"IMG_0105.JPG", 1).Data(oneRun, 2, 9000); }, false},
    };
    for (const Case& c : cases) {
        CPhotoItemsMgr one;
        CNtfsSearchPhoto op(nullptr, dev.get(), &vol, &one);
        std::vector<uint8_t> bm(8, 0);
        Rec r;
        c.make(r, bm);
        r.Free();
        auto used = MapOf(bm, 0x40, 8);
        op.SetAllocationMap(used.get());
        EXPECT_EQ(op.DealWithDeletedRecord(r.b, 42), 0);
        op.FillFolders();
        auto items = AllItems(one);
        ASSERT_EQ(items.size(), c.stored ? 1u : 0u) << c.what;
        if (!c.stored) continue;
        EXPECT_EQ(items[0]->origin, DeletedRecord);
        EXPECT_EQ(items[0]->size, size);
        EXPECT_EQ(ReadBack(dev.get(), *items[0]), jpeg);
    }
}

TEST_F(DeletedRecordRules, TwoRecordsNeverShareClusters) {
    Rec first, second;
    first.Name(u"IMG_0105.JPG", 1).Data(oneRun, 2, static_cast<uint32_t>(jpeg.size())).Free();
    second.Name(u"IMG_0106.JPG", 1).Data(oneRun, 2, static_cast<uint32_t>(jpeg.size())).Free();
    CNtfsSearchPhoto op(nullptr, dev.get(), &vol, &store);
    EXPECT_EQ(DealDeleted(first, &op).size(), 1u);
    EXPECT_EQ(DealDeleted(second, &op).size(), 1u);
    EXPECT_EQ(AllItems(store)[0]->name, u"IMG_0105.JPG");
}

TEST_F(DeletedRecordRules, ResidentPhotoComesFromTheRecord) {
    // The smallest GIF there is: one pixel.
    const std::vector<uint8_t> dot = {0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x01, 0x00, 0x01, 0x00, 0x80, 0x00, 0x00, 0xFF,
                                      0xFF, 0xFF, 0x00, 0x00, 0x00, 0x21, 0xF9, 0x04, 0x01, 0x00, 0x00, 0x00, 0x00, 0x2C,
                                      0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x02, 0x02, 0x44, 0x01, 0x00,
                                      0x3B};
    Rec live, gone, again, notGif;
    live.Name(u"dot.gif", 1).ResidentBytes(dot);
    gone.Name(u"dot.gif", 1).ResidentBytes(dot).Free();
    again.Name(u"dot.gif", 1).ResidentBytes(dot).Free();
    notGif.Name(u"dot.jpg", 1).ResidentBytes(dot).Free();
    EXPECT_TRUE(Deal(live).empty());  // a live one stays as the walk has always left it
    EXPECT_TRUE(DealDeleted(notGif).empty());
    auto items = DealDeleted(gone);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0]->inlineData, dot);
    EXPECT_EQ(items[0]->size, dot.size());
    ASSERT_EQ(items[0]->runs.size(), 1u);
    EXPECT_EQ(items[0]->runs[0].sectorCount, 0);
    // Without the map nothing deleted is looked at.
    CPhotoItemsMgr none;
    CNtfsSearchPhoto blind(nullptr, dev.get(), &vol, &none);
    EXPECT_EQ(blind.DealWithDeletedRecord(again.b, 43), 0);
    blind.FillFolders();
    EXPECT_TRUE(AllItems(none).empty());
}

// Progress over MFTs of empty records in memory.
class WalkProgress : public ::testing::Test {
protected:
    // An MFT of `records` 1 KiB records in one run at cluster 16.
    void Build(uint32_t clusterSize, int64_t records) {
        vol = std::make_unique<NtfsVolume>();
        vol->sectorSize = 512;
        vol->sectorSizeBits = 9;
        vol->clusterSize = clusterSize;
        vol->clusterSizeBits = static_cast<uint8_t>(__builtin_ctz(clusterSize));
        vol->mftRecordSize = 1024;
        vol->mftRecordSizeBits = 10;
        int64_t clusters = records * 1024 / clusterSize;
        vol->mftRecord.assign(1024, 0);
        std::span<uint8_t> attr(vol->mftRecord.data(), 0x48);
        le::put32(attr, NTFS_ATTR_ALLOCATED_SIZE, static_cast<uint32_t>(clusters * clusterSize));
        le::put32(attr, NTFS_ATTR_INIT_SIZE, static_cast<uint32_t>(records * 1024));
        vol->mftData = attr;
        vol->mftRunlist = {{0, 16, clusters}, {clusters, LCN_ENOENT, 0}};
        vol->numberOfClusters = 16 + clusters;
        dev = ImageDevice::OverMemory(
            std::make_shared<std::vector<uint8_t>>(static_cast<size_t>((16 + clusters) * clusterSize)));
    }
    int Walk(RecordingSink& sink) {
        CNtfsSearchPhoto op(&partition, dev.get(), vol.get(), &store);
        return op.Do(&sink);
    }
    std::unique_ptr<NtfsVolume> vol;
    std::unique_ptr<ImageDevice> dev;
    CPartition partition;
    CPhotoItemsMgr store{kNamesOnly};
};

TEST_F(WalkProgress, FivePerTenRecords) {
    Build(4096, 1000);
    RecordingSink sink;
    ASSERT_EQ(Walk(sink), 0);
    EXPECT_EQ(sink.events[1].units, 1000);
    EXPECT_EQ(sink.Count(UPDATE_CURRENT_PROGRESS), 100u);
    EXPECT_EQ(dev->reads.size(), 1u);
}

TEST_F(WalkProgress, BatchesOfEightMebibytes) {
    // 512-byte clusters: 16384 clusters (8192 records) per batch, then 808 records.
    Build(512, 9000);
    RecordingSink sink;
    ASSERT_EQ(Walk(sink), 0);
    ASSERT_EQ(dev->reads.size(), 2u);
    EXPECT_EQ(dev->reads[0], (std::pair<uint64_t, uint64_t>(16, 16384)));
    EXPECT_EQ(dev->reads[1], (std::pair<uint64_t, uint64_t>(16 + 16384, 1616)));
    EXPECT_EQ(sink.Count(UPDATE_CURRENT_PROGRESS), 820u + 81u);
}

TEST_F(WalkProgress, MftLargerThanTheVolumeIsReadOnlyAsFarAsTheVolumeGoes) {
    Build(4096, 1000);
    // A corrupt $MFT claiming 2^40 clusters in one run would take for ever.
    const int64_t huge = int64_t{1} << 40;
    le::put32(vol->mftRecord, NTFS_ATTR_ALLOCATED_SIZE + 4, 0x1000);  // 2^52 bytes
    le::put32(vol->mftRecord, NTFS_ATTR_INIT_SIZE + 4, 0x1000);
    vol->mftRunlist = {{0, 16, huge}, {huge, LCN_ENOENT, 0}};
    RecordingSink sink;
    ASSERT_EQ(Walk(sink), 0);
    uint64_t sectors = 0;
    for (auto& r : dev->reads) sectors += r.second;
    EXPECT_EQ(sectors, static_cast<uint64_t>(vol->numberOfClusters) * 8);
}

TEST_F(WalkProgress, RecordCountBeyondTheMftIsBoundedByItsClusters) {
    Build(4096, 1000);
    le::put32(vol->mftRecord, NTFS_ATTR_INIT_SIZE, 0x7FFFFFFF);
    le::put32(vol->mftRecord, NTFS_ATTR_INIT_SIZE + 4, 0x7FFFFFFF);
    RecordingSink sink;
    ASSERT_EQ(Walk(sink), 0);
    EXPECT_EQ(sink.Count(UPDATE_CURRENT_PROGRESS), 100u);
}

}  // namespace
