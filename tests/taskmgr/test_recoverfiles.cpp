#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <set>

#include <sys/stat.h>

#include "taskdisk.h"
#include "taskmgr/recoverfiles.h"
#include "taskmgr/taskmgr.h"
#include "testutil.h"

namespace fs = std::filesystem;

namespace {

TEST(SafeFileName, KeepsOrdinaryNames) {
    EXPECT_EQ(SafeFileName(u"IMG_0001.JPG"), "IMG_0001.JPG");
    EXPECT_EQ(SafeFileName(u"0000000001.jpg"), "0000000001.jpg");
    EXPECT_EQ(SafeFileName(u"Urlaub \u00e4\u00f6\u00fc \u65e5\u672c.jpg"), "Urlaub äöü 日本.jpg");
    EXPECT_EQ(SafeFileName(u"\U0001F600.png"), "\xF0\x9F\x98\x80.png");  // a surrogate pair
    EXPECT_EQ(SafeFileName(u"...jpg"), "...jpg");
}

TEST(SafeFileName, NeutralisesWhatCouldLeaveTheFolder) {
    EXPECT_EQ(SafeFileName(u"../x.jpg"), ".._x.jpg");
    EXPECT_EQ(SafeFileName(u"/etc/passwd"), "_etc_passwd");
    EXPECT_EQ(SafeFileName(u"."), "_.");
    EXPECT_EQ(SafeFileName(u".."), "_..");
    EXPECT_EQ(SafeFileName(u""), "_");
    EXPECT_EQ(SafeFileName(std::u16string(u"a\0b.jpg", 7)), "a_b.jpg");
    EXPECT_EQ(SafeFileName(u"a\nb\x1b[31m.jpg"), "a_b_[31m.jpg");
    // Unpaired surrogates are not UTF-16: they become U+FFFD.
    EXPECT_EQ(SafeFileName(std::u16string(1, char16_t(0xD800)) + u".jpg"), "\xEF\xBF\xBD.jpg");
    EXPECT_EQ(SafeFileName(u"x" + std::u16string(1, char16_t(0xDC00))), "x\xEF\xBF\xBD");
}

TEST(SafeFileName, CutsLongNamesKeepingTheExtension) {
    std::u16string longName(400, u'\u00e9');  // two UTF-8 bytes each
    const std::string cut = SafeFileName(longName + u".jpeg");
    EXPECT_LE(cut.size(), 200u);
    EXPECT_EQ(cut.substr(cut.size() - 5), ".jpeg");
    // Cut between characters, never inside one.
    EXPECT_EQ(Utf16ToUtf8(longName).substr(0, cut.size() - 5), cut.substr(0, cut.size() - 5));
}

TEST(RecoveryFolder, NamedAfterTheTimeOnATwelveHourClock) {
    std::tm t{};
    t.tm_hour = 15, t.tm_min = 7, t.tm_sec = 9;
    EXPECT_EQ(RecoveryFolderName(t), "Recovered Photos(03-07-09)");
    t.tm_hour = 0, t.tm_min = 5, t.tm_sec = 0;
    EXPECT_EQ(RecoveryFolderName(t), "Recovered Photos(00-05-00)");
    t.tm_hour = 12;
    EXPECT_EQ(RecoveryFolderName(t), "Recovered Photos(12-05-00)");
}

TEST(RecoveryFolder, CreatedOnceReusedInTheSameSecondNeverThroughALink) {
    testutil::TempDir dir;
    const std::time_t now = std::time(nullptr);
    std::string folder, again, error;
    ASSERT_EQ(CreateRecoveryFolder(dir.path(), now, folder, error), 0) << error;
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_EQ(fs::path(folder).parent_path(), fs::path(dir.path()));
    EXPECT_TRUE(std::regex_match(fs::path(folder).filename().string(),
                                 std::regex(R"(Recovered Photos\(\d\d-\d\d-\d\d\))")));
    ASSERT_EQ(CreateRecoveryFolder(dir.path(), now, again, error), 0);
    EXPECT_EQ(again, folder);

    // A link planted under the folder's name is refused, not followed.
    testutil::TempDir elsewhere;
    fs::remove(folder);
    fs::create_directory_symlink(elsewhere.path(), folder);
    EXPECT_EQ(CreateRecoveryFolder(dir.path(), now, again, error), -1);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(CreateRecoveryFolder(dir / "missing", now, again, error), -1);
}

// Photos on a memory disk: sector s holds the byte s + 1.
struct SaveFixture {
    taskdisk::TestDisk disk = taskdisk::MemoryDisk(256);
    CPartition* part = nullptr;
    CTaskMgr mgr;
    testutil::TempDir dir;
    SaveFixture() {
        for (size_t s = 0; s < 256; ++s) std::memset(disk.bytes->data() + s * 512, static_cast<int>(s + 1), 512);
        part = disk.AddPartition(0, 256, FS_UNKNOWN);
    }
    PhotoItem Item(std::u16string name, int64_t sector, int64_t count, uint32_t size) {
        PhotoItem item;
        item.name = std::move(name);
        item.runs = {{0, sector, count}, {count, -3, 0}};
        item.size = size;
        return item;
    }
    std::set<std::string> Files() const {
        std::set<std::string> names;
        for (const auto& e : fs::recursive_directory_iterator(dir.path())) names.insert(e.path().lexically_relative(dir.path()).string());
        return names;
    }
};

TEST(SavePhotoItem, WritesExactlyTheSizeBytes) {
    SaveFixture f;
    PhotoItem item = f.Item(u"a.jpg", 10, 3, 1000);
    std::string path;
    ASSERT_EQ(SavePhotoItem(&f.mgr, &item, f.part, f.dir.path(), &path), 0);
    EXPECT_EQ(path, f.dir / "a.jpg");
    const auto bytes = testutil::ReadFileBytes(path);
    ASSERT_EQ(bytes.size(), 1000u);
    EXPECT_EQ(bytes[0], 11);
    EXPECT_EQ(bytes[999], 12);
}

TEST(SavePhotoItem, ClashesGetANumberAndNothingIsReplaced) {
    SaveFixture f;
    // A file that already has the name a first clash might pick.
    ASSERT_TRUE(testutil::WriteFileBytes(f.dir / "1_x.jpg", {42}));
    PhotoItem one = f.Item(u"x.jpg", 1, 1, 512);
    PhotoItem two = f.Item(u"x.jpg", 2, 1, 512);
    PhotoItem three = f.Item(u"x.jpg", 3, 1, 512);
    std::string p1, p2, p3;
    ASSERT_EQ(SavePhotoItem(&f.mgr, &one, f.part, f.dir.path(), &p1), 0);
    ASSERT_EQ(SavePhotoItem(&f.mgr, &two, f.part, f.dir.path(), &p2), 0);
    ASSERT_EQ(SavePhotoItem(&f.mgr, &three, f.part, f.dir.path(), &p3), 0);
    EXPECT_EQ(fs::path(p1).filename(), "x.jpg");
    const std::regex clash(R"((\d+)_x\.jpg)");
    std::smatch m2, m3;
    const std::string n2 = fs::path(p2).filename().string(), n3 = fs::path(p3).filename().string();
    ASSERT_TRUE(std::regex_match(n2, m2, clash)) << n2;
    ASSERT_TRUE(std::regex_match(n3, m3, clash)) << n3;
    EXPECT_GT(std::stoi(m3[1]), std::stoi(m2[1]));  // the counter runs on
    EXPECT_EQ(testutil::ReadFileBytes(f.dir / "1_x.jpg"), std::vector<uint8_t>{42});
    EXPECT_EQ(testutil::ReadFileBytes(p2)[0], 3);
    EXPECT_EQ(testutil::ReadFileBytes(p3)[0], 4);
}

TEST(SavePhotoItem, HostileNamesStayInsideTheFolder) {
    SaveFixture f;
    const std::string folder = f.dir / "Recovered";
    fs::create_directory(folder);
    int k = 0;
    for (std::u16string name : {std::u16string(u"../x.jpg"), std::u16string(u".."), std::u16string(u"."),
                                std::u16string(u"/tmp/evil.jpg"), std::u16string(u"a/../../b.jpg"),
                                std::u16string(u"nul\0.jpg", 8), std::u16string(1, char16_t(0xDBFF)),
                                std::u16string()}) {
        PhotoItem item = f.Item(name, ++k, 1, 512);
        std::string path;
        ASSERT_EQ(SavePhotoItem(&f.mgr, &item, f.part, folder, &path), 0) << k;
        EXPECT_EQ(fs::path(path).parent_path(), fs::path(folder)) << path;
    }
    // Everything written is a plain file directly in the folder.
    for (const std::string& name : f.Files()) {
        if (name == "Recovered") continue;
        EXPECT_EQ(fs::path(name).parent_path(), fs::path("Recovered")) << name;
        EXPECT_TRUE(fs::is_regular_file(f.dir / name)) << name;
    }
    EXPECT_EQ(f.Files().size(), 1u + k);
}

TEST(SavePhotoItem, ALinkInTheFolderIsNotWrittenThrough) {
    SaveFixture f;
    testutil::TempDir outside;
    fs::create_symlink(outside / "target.jpg", f.dir / "x.jpg");
    PhotoItem item = f.Item(u"x.jpg", 5, 1, 512);
    std::string path;
    ASSERT_EQ(SavePhotoItem(&f.mgr, &item, f.part, f.dir.path(), &path), 0);
    EXPECT_NE(fs::path(path).filename(), "x.jpg");
    EXPECT_FALSE(fs::exists(outside / "target.jpg"));
}

TEST(SavePhotoItem, ClaimedSizesAreBoundedAndUncoveredBytesAreZero) {
    SaveFixture f;
    // A size far beyond what any photo is: refused without allocating it.
    PhotoItem huge = f.Item(u"huge.jpg", 1, 1, 0xFFFFFFFF);
    EXPECT_EQ(SavePhotoItem(&f.mgr, &huge, f.part, f.dir.path()), -1);
    EXPECT_FALSE(fs::exists(f.dir / "huge.jpg"));
    // Runs that cover less than the size: the rest comes out as zeros.
    PhotoItem short_ = f.Item(u"short.jpg", 7, 1, 1500);
    ASSERT_EQ(SavePhotoItem(&f.mgr, &short_, f.part, f.dir.path()), 0);
    const auto bytes = testutil::ReadFileBytes(f.dir / "short.jpg");
    ASSERT_EQ(bytes.size(), 1500u);
    EXPECT_EQ(bytes[511], 8);
    for (size_t i = 512; i < bytes.size(); ++i) ASSERT_EQ(bytes[i], 0) << i;
    // Malformed runs are refused.
    PhotoItem bad = f.Item(u"bad.jpg", 1, 1, 512);
    bad.runs[0].fileSector = -5;
    EXPECT_EQ(SavePhotoItem(&f.mgr, &bad, f.part, f.dir.path()), -1);
}

// Folder paths come back under the recovery folder only when asked for, each
// part made safe; the file gets the photo's time; inline bytes are written
// as they are.
TEST(SavePhotoItem, KeepsFoldersWhenAskedAndSetsTheTime) {
    SaveFixture f;
    struct Case {
        std::u16string folder;
        bool keep;
        std::string expected;  // the file's path relative to the folder
    };
    const Case cases[] = {
        {u"DCIM/100CANON", false, "p1.jpg"},
        {u"DCIM/100CANON", true, "DCIM/100CANON/p2.jpg"},
        {u"Café/日本", true, "Café/日本/p3.jpg"},
        {u"../../etc", true, "_../_../etc/p4.jpg"},
        {u"a//./..", true, "a/_./_../p5.jpg"},
        {u"", true, "p6.jpg"},
    };
    int k = 0;
    for (const Case& c : cases) {
        ++k;
        PhotoItem item = f.Item(u"p" + std::u16string(1, static_cast<char16_t>(u'0' + k)) + u".jpg", k, 1, 100);
        item.folder = c.folder;
        item.mtime = 1700000000 + k;  // 2023-11-14
        item.mtimeNsec = 250000000;
        RecoveryOptions options;
        options.keepFolders = c.keep;
        std::string path;
        ASSERT_EQ(SavePhotoItem(&f.mgr, &item, f.part, f.dir.path(), &path, options), 0) << k;
        EXPECT_EQ(fs::path(path).lexically_relative(f.dir.path()).string(), c.expected);
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mtim.tv_sec, 1700000000 + k);
        EXPECT_EQ(st.st_mtim.tv_nsec, 250000000);
    }

    // A file where a folder should be: the photo stays in the last folder made.
    ASSERT_TRUE(testutil::WriteFileBytes(f.dir / "DCIM/101CANON", {1}));
    PhotoItem blocked = f.Item(u"b.jpg", 9, 1, 10);
    blocked.folder = u"DCIM/101CANON";
    std::string path;
    RecoveryOptions keep;
    keep.keepFolders = true;
    ASSERT_EQ(SavePhotoItem(&f.mgr, &blocked, f.part, f.dir.path(), &path, keep), 0);
    EXPECT_EQ(path, f.dir / "DCIM/b.jpg");
    EXPECT_EQ(PhotoPathText(blocked), "DCIM/101CANON/b.jpg");

    // Resident bytes: written as the item holds them, no disk read.
    PhotoItem small;
    small.name = u"tiny.gif";
    small.inlineData = {'G', 'I', 'F', '8', '9', 'a', 0, 1};
    small.size = 8;
    small.runs = {{0, -3, 0}};
    ASSERT_EQ(SavePhotoItem(&f.mgr, &small, f.part, f.dir.path(), &path), 0);
    EXPECT_EQ(testutil::ReadFileBytes(path), small.inlineData);
}

}  // namespace
