#include "taskmgr/scansession.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <functional>
#include <map>
#include <tuple>

#include "taskdisk.h"
#include "taskmgr/taskmgr.h"
#include "testutil.h"

using taskdisk::RecordingSink;

namespace {

SessionIdentity Identity() {
    SessionIdentity id;
    id.diskSectors = 200000;
    id.imagePath = "/srv/cards/card.img";
    id.devicePath = "card.img";
    id.partOffset = 2048;
    id.partLength = 190000;
    id.fs = FS_FAT32;
    id.fsSerial = "1A2B-3C4D";
    id.driveText = "card.img#1 (FAT32)";
    return id;
}

// Everything a scan may put into a photo.
std::vector<PhotoItem> SamplePhotos() {
    std::vector<PhotoItem> v(5);
    v[0].name = u"IMG_0001.JPG";
    v[0].folder = u"DCIM/100CANON";
    v[0].mtime = 1714566896;
    v[0].mtimeNsec = 500000000;
    v[0].size = 3000000;
    v[0].runs = {{0, 4096, 4096}, {4096, 10000, 1768}, {5864, 0, 0}};
    v[1].name = u"0000000001.png";
    v[1].category = Png;
    v[1].origin = RawScan;
    v[1].size = 65536;
    v[1].runs = {{0, 90000, 128}, {128, -3, 0}};
    v[2].name = std::u16string(u"\u00e9t\u00e9 \U0001F4F7 ") + char16_t(0xD800) + u".heic";  // a lone surrogate stays
    v[2].category = Heic;
    v[2].origin = DeletedRecord;
    v[2].folder = u"Lost folder 38";
    v[2].mtime = -86400;
    v[2].size = 700;
    v[2].inlineData.assign(700, 0x5A);
    v[2].runs = {{0, -3, 0}};
    v[3].name = u"sparse.tif";
    v[3].category = Tiff;
    v[3].size = 3 * 4096;
    v[3].runs = {{0, 200, 8}, {8, -1, 8}, {16, 189992, 8}, {24, -3, 0}};  // a hole; the last run ends the partition
    v[4].name = u"x.cr2";
    v[4].category = Raw;
    v[4].size = 512;
    v[4].runs = {{0, 7, 1}, {1, -3, 0}};
    return v;
}

void Fill(IPhotoItmesMgr& store, const std::vector<PhotoItem>& photos) {
    for (const PhotoItem& p : photos) store.AddItem(std::make_unique<PhotoItem>(p));
}

using Fields = std::tuple<std::u16string, int, int, std::u16string, int64_t, uint32_t, uint32_t, std::vector<uint8_t>,
                          std::vector<std::tuple<int64_t, int64_t, int64_t>>>;
Fields FieldsOf(const PhotoItem& p) {
    std::vector<std::tuple<int64_t, int64_t, int64_t>> runs;
    for (const PhotoRun& r : p.runs) runs.emplace_back(r.fileSector, r.volumeSector, r.sectorCount);
    return {p.name, p.category, p.origin, p.folder, p.mtime, p.mtimeNsec, p.size, p.inlineData, runs};
}

std::vector<Fields> StoreFields(IPhotoItmesMgr& store) {
    std::vector<Fields> all;
    for (int c = 0; c < kPhotoCategoryCount; ++c) {
        const int n = store.GetItems(c, -1, -1, nullptr);
        std::vector<PhotoItem*> items(static_cast<size_t>(std::max(n, 0)));
        if (n > 0) store.GetItems(c, 0, n, items.data());
        for (PhotoItem* p : items) all.push_back(FieldsOf(*p));
    }
    return all;
}

// A finished session holding SamplePhotos.
std::string MakeSession(const testutil::TempDir& dir, const std::string& name = "s.lumivista-session") {
    const std::string path = dir / name;
    std::string error;
    auto s = CScanSession::Create(path, Identity(), PhotoChoice{}, error);
    EXPECT_TRUE(s) << error;
    if (!s) return path;
    CPhotoItemsMgr store;
    Fill(store, SamplePhotos());
    s->Attach(&store);
    EXPECT_EQ(s->WalkDone(SessionMap::FileSystem), 0);
    EXPECT_EQ(s->Finish(), 0);
    return path;
}

void Sql(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    char* err = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "") << ": " << sql;
    sqlite3_free(err);
    sqlite3_close(db);
}

// A run list as the file keeps it: little-endian int64 triples, in hex.
std::string RunsHex(const std::vector<PhotoRun>& runs) {
    std::string hex;
    char two[3];
    for (const PhotoRun& r : runs)
        for (int64_t v : {r.fileSector, r.volumeSector, r.sectorCount})
            for (int i = 0; i < 8; ++i) {
                std::snprintf(two, sizeof two, "%02X", static_cast<unsigned>(static_cast<uint64_t>(v) >> (8 * i) & 0xFF));
                hex += two;
            }
    return hex;
}

}  // namespace

TEST(ScanSession, EveryFieldOfEveryPhotoComesBack) {
    testutil::TempDir dir;
    const std::string path = MakeSession(dir);
    std::string error;
    auto s = CScanSession::Open(path, error);
    ASSERT_TRUE(s) << error;
    const SessionInfo& info = s->Info();
    EXPECT_EQ(info.state, SessionState::Finished);
    EXPECT_EQ(info.map, SessionMap::FileSystem);
    EXPECT_EQ(info.photos, 5);
    EXPECT_EQ(info.identity.imagePath, "/srv/cards/card.img");
    EXPECT_EQ(info.identity.fsSerial, "1A2B-3C4D");
    EXPECT_EQ(info.identity.driveText, "card.img#1 (FAT32)");
    EXPECT_EQ(info.position.next, 190000);
    EXPECT_TRUE(SessionMismatch(info.identity, Identity()).empty());

    CPhotoItemsMgr store;
    ASSERT_EQ(s->LoadPhotos(store, error), 0) << error;
    CPhotoItemsMgr expected;
    Fill(expected, SamplePhotos());
    EXPECT_EQ(StoreFields(store), StoreFields(expected));
}

TEST(ScanSession, CommitsNoMoreOftenThanItsIntervalAndOnlyWhatWasMarked) {
    testutil::TempDir dir;
    const std::string path = dir / "x.lumivista-session";
    std::string error;
    auto s = CScanSession::Create(path, Identity(), PhotoChoice{}, error);
    ASSERT_TRUE(s) << error;
    CPhotoItemsMgr store;
    s->Attach(&store);
    ASSERT_EQ(s->WalkDone(SessionMap::AllFree), 0);
    std::vector<PhotoItem> photos = SamplePhotos();
    store.AddItem(std::make_unique<PhotoItem>(photos[1]));
    s->SetSaveInterval(std::chrono::hours(1));
    ASSERT_EQ(s->Mark(RawScanPosition{100000, 0, 1, 1}), 0);
    store.AddItem(std::make_unique<PhotoItem>(photos[4]));  // found after the mark
    auto reread = [&] {
        auto r = CScanSession::Open(path, error);
        EXPECT_TRUE(r) << error;
        return r;
    };
    EXPECT_EQ(reread()->Info().photos, 0) << "committed before the interval was over";
    ASSERT_EQ(s->Commit(), 0);
    auto r = reread();
    EXPECT_EQ(r->Info().photos, 1);
    EXPECT_EQ(r->Info().state, SessionState::RawScan);
    EXPECT_EQ(r->Info().map, SessionMap::AllFree);
    EXPECT_EQ(r->Info().position.next, 100000);
    s->SetSaveInterval(std::chrono::milliseconds(0));
    ASSERT_EQ(s->Mark(RawScanPosition{150000, 0, 2, 2}), 0);
    EXPECT_EQ(reread()->Info().photos, 2);
    EXPECT_TRUE(s->WriteError().empty());
}

TEST(ScanSession, AnotherDriveIsNamedInTheRefusal) {
    const struct {
        const char* what;
        std::function<void(SessionIdentity&)> change;
        const char* says;
    } cases[] = {
        {"another image", [](SessionIdentity& i) { i.imagePath = "/srv/cards/other.img"; }, "other.img"},
        {"a disk, not an image", [](SessionIdentity& i) { i.imagePath.clear(); i.diskSerial = "WD-1"; }, "not of a disk"},
        {"a bigger disk", [](SessionIdentity& i) { i.diskSectors = 400000; }, "this one 400000"},
        {"another partition", [](SessionIdentity& i) { i.partOffset = 4096; }, "starts at 4096"},
        {"a shorter partition", [](SessionIdentity& i) { i.partLength = 100; }, "has 100"},
        {"formatted since", [](SessionIdentity& i) { i.fsSerial = "0000-0001"; }, "0000-0001"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SessionIdentity here = Identity();
        c.change(here);
        const std::string why = SessionMismatch(Identity(), here);
        EXPECT_NE(why.find(c.says), std::string::npos) << why;
    }
    SessionIdentity a = Identity(), b = Identity();
    a.imagePath.clear();
    b.imagePath.clear();
    a.diskSerial = "WD-123";
    b.diskSerial = "WD-456";
    EXPECT_NE(SessionMismatch(a, b).find("WD-456"), std::string::npos);
    b.diskSerial = "WD-123";
    b.devicePath = "/dev/sdc";  // the same disk under another name
    b.driveText = "sdc1";
    EXPECT_EQ(SessionMismatch(a, b), "");
}

// Damaged, foreign, edited and impossible files: each refused, saying why.
TEST(ScanSession, DamagedOrEditedFilesAreRefused) {
    testutil::TempDir dir;
    const std::string good = MakeSession(dir, "good.lumivista-session");
    const auto bytes = testutil::ReadFileBytes(good);
    ASSERT_GT(bytes.size(), 4096u);
    const struct {
        const char* what;
        std::function<void(const std::string&)> damage;
        const char* says;     // in the message of Open, or of LoadPhotos when `atLoad`
        bool atLoad = false;
    } cases[] = {
        {"truncated", [&](const std::string& p) {
             testutil::WriteFileBytes(p, std::vector<uint8_t>(bytes.begin(), bytes.begin() + 3000)); }, "damaged"},
        {"empty", [&](const std::string& p) { testutil::WriteFileBytes(p, {}); }, "not a Lumivista scan session"},
        {"text", [&](const std::string& p) {
             const std::string t = "IMG_0001.JPG 4096 4096\n";
             testutil::WriteFileBytes(p, std::vector<uint8_t>(t.begin(), t.end())); }, "not a Lumivista scan session"},
        {"pages overwritten", [&](const std::string& p) {
             auto b = bytes;
             for (size_t i = 4096 + 100; i < b.size(); i += 7) b[i] = static_cast<uint8_t>(i * 31);
             testutil::WriteFileBytes(p, b); }, "damaged"},
        {"another program's database", [](const std::string& p) { Sql(p, "PRAGMA application_id = 7"); },
         "not a Lumivista scan session"},
        {"another version", [](const std::string& p) { Sql(p, "PRAGMA user_version = 99"); }, "another version"},
        {"a trigger added", [](const std::string& p) {
             Sql(p, "CREATE TRIGGER t AFTER INSERT ON photo BEGIN DELETE FROM photo; END"); }, "has been changed"},
        {"a table added", [](const std::string& p) { Sql(p, "CREATE TABLE extra(x)"); }, "has been changed"},
        {"a column changed", [](const std::string& p) {
             Sql(p, "PRAGMA writable_schema = ON; UPDATE sqlite_schema SET sql = replace(sql, 'runs BLOB', 'runs TEXT') "
                    "WHERE name = 'photo'"); }, "has been changed"},
        {"two session rows", [](const std::string& p) {
             Sql(p, "PRAGMA writable_schema = ON; UPDATE sqlite_schema SET sql = replace(sql, ' CHECK(id = 1)', '') "
                    "WHERE name = 'session'"); }, "has been changed"},
        {"partition off the disk", [](const std::string& p) { Sql(p, "UPDATE session SET part_length = 300000"); },
         "does not lie on its disk"},
        {"position past the partition", [](const std::string& p) { Sql(p, "UPDATE session SET next_sector = 190001"); },
         "outside the partition"},
        {"unknown state", [](const std::string& p) { Sql(p, "UPDATE session SET state = 9"); }, "unknown scan state"},
        {"text for a number", [](const std::string& p) { Sql(p, "UPDATE session SET map = 'x'"); }, "wrong type"},
        {"photo count", [](const std::string& p) { Sql(p, "DELETE FROM photo WHERE id = 2"); }, "does not match"},
        {"counts", [](const std::string& p) { Sql(p, "UPDATE session SET photos_stored = 9, photos_found = 3"); },
         "impossible photo counts"},
        {"walk photos while walking", [](const std::string& p) { Sql(p, "UPDATE session SET state = 0"); },
         "before the walk was over"},
        {"a run off the partition", [](const std::string& p) {
             // Photo 2's run: 128 sectors at 90000, moved to 189900.
             Sql(p, "UPDATE photo SET runs = X'" + RunsHex({{0, 189900, 128}, {128, -3, 0}}) + "' WHERE id = 2"); },
         "photo 2: a run outside the partition", true},
        {"a run list without its end", [](const std::string& p) {
             Sql(p, "UPDATE photo SET runs = substr(runs, 1, 24) WHERE id = 2"); }, "without its end", true},
        {"a run list in pieces", [](const std::string& p) {
             Sql(p, "UPDATE photo SET runs = substr(runs, 1, 30) WHERE id = 2"); }, "bad run list", true},
        {"a name of odd length", [](const std::string& p) {
             Sql(p, "UPDATE photo SET name = X'410042' WHERE id = 1"); }, "photo 1: bad name", true},
        {"an empty name", [](const std::string& p) { Sql(p, "UPDATE photo SET name = X'' WHERE id = 1"); },
         "bad name", true},
        {"an unknown category", [](const std::string& p) { Sql(p, "UPDATE photo SET category = 99 WHERE id = 3"); },
         "photo 3: unknown category", true},
        {"an unknown origin", [](const std::string& p) { Sql(p, "UPDATE photo SET origin = 5 WHERE id = 3"); },
         "unknown origin", true},
        {"inline bytes of another size", [](const std::string& p) {
             Sql(p, "UPDATE photo SET size = 701 WHERE category = 5"); }, "bad inline data", true},
        {"a size beyond 32 bits", [](const std::string& p) {
             Sql(p, "UPDATE photo SET size = 5000000000 WHERE id = 1"); }, "bad size", true},
        {"a name as text", [](const std::string& p) { Sql(p, "UPDATE photo SET name = 'a.jpg' WHERE id = 1"); },
         "wrong type", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = dir / "bad.lumivista-session";
        ASSERT_TRUE(testutil::WriteFileBytes(path, bytes));
        c.damage(path);
        std::string error;
        auto s = CScanSession::Open(path, error);
        if (!c.atLoad) {
            EXPECT_FALSE(s);
            EXPECT_NE(error.find(c.says), std::string::npos) << error;
            EXPECT_NE(error.find(path), std::string::npos) << error;
            continue;
        }
        ASSERT_TRUE(s) << error;
        CPhotoItemsMgr store;
        EXPECT_EQ(s->LoadPhotos(store, error), -1);
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
        // Nothing reads outside the partition: the task manager loads nothing.
        CTaskMgr mgr;
        std::string why;
        EXPECT_EQ(mgr.LoadSession(s.get(), why), -1);
        EXPECT_EQ(mgr.GetPhotoItems(Jpg, -1, -1, nullptr), 0);
    }
    std::string error;
    EXPECT_FALSE(CScanSession::Open(dir / "none", error));
    EXPECT_NE(error.find("there is no session file"), std::string::npos) << error;
    EXPECT_FALSE(CScanSession::Create(good, Identity(), PhotoChoice{}, error)) << "made over an existing file";
}

// --- whole scans stopped and resumed ------------------------------------------------

namespace {

// A 96 MiB FAT32 card with photos in two folders, half of one folder
// deleted: a walk, deleted photos all over the free space for the raw scan.
class SessionCard : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::string photos = testutil::PhotosDir();
        if (photos.empty() || !testutil::HaveTool("mkfs.fat") || !testutil::HaveTool("mcopy")) return;
        s_dir = new testutil::TempDir;
        const std::string image = *s_dir / "card.img";
        const std::string m = "MTOOLS_SKIP_CHECK=1 ";
        const std::string at = " -i " + image + "@@1048576 ";
        std::string files;
        for (const char* f : {"IMG_0001.JPG", "IMG_0002.JPG", "IMG_0003.JPG", "IMG_0004.JPG", "IMG_0005.JPG",
                              "IMG_0101.JPG", "IMG_0102.JPG", "IMG_0103.JPG", "SCAN0001.PNG", "SCAN0002.PNG",
                              "ANIM0001.GIF", "PAINT001.BMP"})
            files += " " + photos + "/" + f;
        if (testutil::Run("bash " + testutil::ToolsDir() + "/mkfatimage.sh -s 2 " + image + " 96 >/dev/null") != 0 ||
            testutil::Run(m + "mmd" + at + "::/DCIM ::/DCIM/100CANON ::/DCIM/101CANON") != 0 ||
            testutil::Run(m + "mcopy -m" + at + files + " ::/DCIM/100CANON/") != 0 ||
            testutil::Run(m + "mcopy -m" + at + files + " ::/DCIM/101CANON/") != 0 ||
            testutil::Run(m + "mdel" + at + "::/DCIM/100CANON/IMG_000*.JPG ::/DCIM/100CANON/SCAN*.PNG") != 0 ||
            testutil::Run(m + "mcopy -m" + at + photos + "/IMG_0104.JPG " + photos + "/IMG_0105.JPG ::/") != 0)
            return;
        s_image = image;
    }
    static void TearDownTestSuite() {
        delete s_dir;
        s_dir = nullptr;
    }
    void SetUp() override {
        if (s_image.empty()) GTEST_SKIP() << "no photos or no dosfstools/mtools";
        disk = taskdisk::ImageDisk(s_image);
        ASSERT_TRUE(disk.disk);
        disk.disk->m_totalSectors = 96 * 2048;
        part = disk.AddPartition(2048, 96 * 2048 - 2048, FS_FAT32);
    }

    static inline testutil::TempDir* s_dir = nullptr;
    static inline std::string s_image;
    testutil::TempDir dir;
    taskdisk::TestDisk disk;
    CPartition* part = nullptr;
};

// Stops the scan at the n-th raw-scan position, or at the n-th event.
class StopAt : public IEventSink {
public:
    int positionsToStop = -1, eventsToStop = -1;
    int positions = 0, events = 0;
    int Notify(uint32_t code, int32_t, void*, uint32_t) override {
        ++events;
        if (code == RAW_SCAN_POSITION) ++positions;
        const bool stop = (positionsToStop >= 0 && positions >= positionsToStop) ||
                          (eventsToStop >= 0 && events >= eventsToStop);
        return stop ? -1 : 0;
    }
};

std::vector<Fields> ScanFields(CTaskMgr& mgr) {
    std::vector<Fields> all;
    for (int c = 0; c < kPhotoCategoryCount; ++c) {
        const int n = mgr.GetPhotoItems(c, -1, -1, nullptr);
        std::vector<PhotoItem*> items(static_cast<size_t>(std::max(n, 0)));
        if (n > 0) mgr.GetPhotoItems(c, 0, n, items.data());
        for (PhotoItem* p : items) all.push_back(FieldsOf(*p));
    }
    return all;
}

}  // namespace

// Stopped anywhere (in the walk, at any point of the raw scan, more than
// once), the scan goes on from its session and ends with exactly the photos
// of a scan that never stopped.
TEST_F(SessionCard, StoppedAndResumedFindsExactlyWhatOneRunFinds) {
    CTaskMgr once;
    RecordingSink all;
    ASSERT_EQ(once.RecoverPhotos(part, &all), 0);
    const std::vector<Fields> expected = ScanFields(once);
    // Deleted photos come back through their entries when these survive, by
    // the raw scan otherwise: either way they are no live photos.
    int walked = 0, deleted = 0;
    for (const Fields& f : expected) (std::get<2>(f) == FileSystem ? walked : deleted)++;
    ASSERT_GE(walked, 14);
    ASSERT_GE(deleted, 6);

    SessionIdentity id;
    ASSERT_EQ(MakeSessionIdentity(part, id), 0);
    EXPECT_FALSE(id.imagePath.empty());
    EXPECT_EQ(id.fsSerial.size(), 9u);

    // Stops: early in the walk; at raw-scan positions 1, 4 and 8; twice in a row.
    const std::vector<std::vector<std::pair<int, int>>> plans = {
        {{-1, 5}}, {{1, -1}}, {{4, -1}}, {{8, -1}}, {{2, -1}, {3, -1}}, {{-1, 40}, {5, -1}},
    };
    for (const auto& plan : plans) {
        SCOPED_TRACE(testing::Message() << "stops " << plan.size() << ", first at position " << plan[0].first
                                        << " / event " << plan[0].second);
        const std::string path = dir / ("run" + std::to_string(&plan - plans.data()) + kSessionSuffix);
        std::string error;
        {
            auto s = CScanSession::Create(path, id, PhotoChoice{}, error);
            ASSERT_TRUE(s) << error;
        }
        for (auto [positions, events] : plan) {
            auto s = CScanSession::Open(path, error);
            ASSERT_TRUE(s) << error;
            s->SetSaveInterval(std::chrono::milliseconds(0));
            CTaskMgr mgr;
            StopAt stop;
            stop.positionsToStop = positions;
            stop.eventsToStop = events;
            EXPECT_LT(mgr.RecoverPhotosWithSession(part, &stop, s.get()), 0);
            EXPECT_TRUE(s->WriteError().empty()) << s->WriteError();
        }
        auto s = CScanSession::Open(path, error);
        ASSERT_TRUE(s) << error;
        if (plan.back().first > 1) {
            // Stopped inside the raw scan: it goes on from there, not from the start.
            EXPECT_EQ(s->Info().state, SessionState::RawScan);
            EXPECT_GT(s->Info().position.next, 0);
            EXPECT_GT(s->Info().photos, walked);
        } else if (plan.back().first < 0) {
            EXPECT_EQ(s->Info().state, SessionState::Walking);
        }
        CTaskMgr mgr;
        RecordingSink sink;
        ASSERT_EQ(mgr.RecoverPhotosWithSession(part, &sink, s.get()), 0);
        EXPECT_EQ(ScanFields(mgr), expected);
        EXPECT_EQ(s->Info().state, SessionState::Finished);
        // The count the pages show goes on from the photos found before.
        int counted = 0;
        for (const RecordingSink::Event& e : sink.events)
            if (e.code == PHOTO_FOUND) counted += e.value;
        EXPECT_EQ(counted, static_cast<int>(expected.size()));

        // Finished: the photos come back from the file alone.
        auto again = CScanSession::Open(path, error);
        ASSERT_TRUE(again) << error;
        CTaskMgr later;
        RecordingSink none;
        ASSERT_EQ(later.RecoverPhotosWithSession(part, &none, again.get()), 0);
        EXPECT_TRUE(none.events.empty());
        EXPECT_EQ(ScanFields(later), expected);
    }
}

TEST_F(SessionCard, ASessionOfAnotherPartitionOrFormattingIsRefused) {
    SessionIdentity id;
    ASSERT_EQ(MakeSessionIdentity(part, id), 0);
    std::string error;
    const std::string path = dir / "card.lumivista-session";
    auto s = CScanSession::Create(path, id, PhotoChoice{}, error);
    ASSERT_TRUE(s) << error;
    // The same disk, a partition one sector shorter.
    CPartition* other = disk.AddPartition(2048, part->GetLen() - 1, FS_FAT32, 2);
    CTaskMgr mgr;
    RecordingSink sink;
    EXPECT_EQ(mgr.RecoverPhotosWithSession(other, &sink, s.get()), -1);
    EXPECT_TRUE(sink.events.empty());
    // The card formatted again, with a new serial.
    testutil::TempDir copy;
    const std::string image = copy / "card.img";
    ASSERT_EQ(testutil::Run("cp --sparse=always " + s_image + " " + image), 0);
    ASSERT_EQ(testutil::Run("mkfs.fat -F 32 -s 2 -i 0BADF00D --offset=2048 " + image + " " +
                            std::to_string((96 * 2048 - 2048) / 2) + " >/dev/null"),
              0);
    auto d = taskdisk::ImageDisk(image);
    d.disk->m_totalSectors = 96 * 2048;
    CPartition* formatted = d.AddPartition(2048, part->GetLen(), FS_FAT32);
    SessionIdentity there;
    ASSERT_EQ(MakeSessionIdentity(formatted, there), 0);
    EXPECT_EQ(there.fsSerial, "0BAD-F00D");
    there.imagePath = id.imagePath;  // as if the image had been replaced in place
    EXPECT_NE(SessionMismatch(id, there).find("0BAD-F00D"), std::string::npos);
    EXPECT_EQ(mgr.RecoverPhotosWithSession(formatted, &sink, s.get()), -1) << "another image file";
    EXPECT_TRUE(sink.events.empty());
}

// exFAT: its map keeps the sectors of deleted photos the walk found, so a
// scan resumed in its raw scan walks again (keeping none of that walk's
// photos) and ends with exactly the photos of one run.
TEST(ScanSessionExfat, StoppedInTheRawScanAndResumedFindsWhatOneRunFinds) {
    const std::string photos = testutil::PhotosDir();
    if (photos.empty()) GTEST_SKIP() << "no photos";
    int status = 0;
    const std::string image = testutil::CachedImage(
        "exfat-task", "bash '" + testutil::ToolsDir() + "/mkexfatimage.sh' -c 4096 \"$IMAGE\" 24 \"mkdir DCIM; cp '" +
                          photos + "/IMG_0101.JPG' '" + photos + "/SCAN0003.PNG' DCIM/; cp '" + photos +
                          "/IMG_0103.JPG' DCIM/gone.jpg; cp '" + photos + "/ANIM0002.GIF' DCIM/kept.gif; " +
                          "rm DCIM/gone.jpg DCIM/kept.gif; cp '" + photos + "/IMG_0104.JPG' DCIM/new.jpg\" >/dev/null",
        &status);
    if (status == 77) GTEST_SKIP() << "no loop device or FUSE here";
    ASSERT_FALSE(image.empty());
    taskdisk::TestDisk disk = taskdisk::ImageDisk(image);
    ASSERT_TRUE(disk.disk);
    disk.disk->m_totalSectors = 24 * 2048;
    CPartition* part = disk.AddPartition(2048, 24 * 2048 - 2048, FS_EXFAT);

    CTaskMgr once;
    RecordingSink all;
    ASSERT_EQ(once.RecoverPhotos(part, &all), 0);
    const std::vector<Fields> expected = ScanFields(once);
    bool deletedRecord = false;
    for (const Fields& f : expected) deletedRecord |= std::get<2>(f) == DeletedRecord;
    ASSERT_TRUE(deletedRecord) << "the walk found no deleted photo: the test would prove nothing";

    testutil::TempDir dir;
    SessionIdentity id;
    ASSERT_EQ(MakeSessionIdentity(part, id), 0);
    const std::string path = dir / (std::string("exfat") + kSessionSuffix);
    std::string error;
    ASSERT_TRUE(CScanSession::Create(path, id, PhotoChoice{}, error)) << error;
    {
        auto s = CScanSession::Open(path, error);
        ASSERT_TRUE(s) << error;
        s->SetSaveInterval(std::chrono::milliseconds(0));
        CTaskMgr mgr;
        StopAt stop;
        stop.positionsToStop = 2;
        EXPECT_LT(mgr.RecoverPhotosWithSession(part, &stop, s.get()), 0);
    }
    auto s = CScanSession::Open(path, error);
    ASSERT_TRUE(s) << error;
    ASSERT_EQ(s->Info().state, SessionState::RawScan);
    EXPECT_EQ(s->Info().map, SessionMap::FileSystem);
    CTaskMgr mgr;
    RecordingSink sink;
    ASSERT_EQ(mgr.RecoverPhotosWithSession(part, &sink, s.get()), 0);
    EXPECT_EQ(ScanFields(mgr), expected);
}
