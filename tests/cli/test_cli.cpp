// lumivista-cli end to end: real images made by real tools, the program run
// as a user would, its output and its files checked against the photos.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "cli_run.h"
#include "json_value.h"
#include "photoformats/formats_testsupport.h"
#include "taskmgr/photo_oracle.h"
#include "testutil.h"

namespace fs = std::filesystem;
using clirun::Cli;
using clirun::Quote;

namespace {

int Sh(const std::string& command) { return testutil::Run(command); }

const char* const kMtools = "MTOOLS_SKIP_CHECK=1 ";

bool HaveTools(std::initializer_list<const char*> tools) {
    for (const char* t : tools)
        if (!testutil::HaveTool(t)) return false;
    return true;
}

#define REQUIRE_PHOTOS_AND(...)                                                        \
    const std::string photos = testutil::PhotosDir();                                 \
    if (photos.empty()) GTEST_SKIP() << "no photos";                                  \
    if (!HaveTools({__VA_ARGS__})) GTEST_SKIP() << "missing tools: " #__VA_ARGS__

std::string P(const std::string& photos, const std::string& name) { return photos + "/" + name; }

jsonv::Value Json(const std::string& text) {
    jsonv::Value v;
    EXPECT_TRUE(jsonv::Parse(text, v)) << text;
    return v;
}

// What a recovery wrote: file name -> bytes.
std::map<std::string, std::vector<uint8_t>> FolderFiles(const std::string& folder) {
    std::map<std::string, std::vector<uint8_t>> files;
    for (const auto& e : fs::directory_iterator(folder))
        files[e.path().filename().string()] = testutil::ReadFileBytes(e.path().string());
    return files;
}

std::vector<std::vector<uint8_t>> Contents(const std::map<std::string, std::vector<uint8_t>>& files) {
    std::vector<std::vector<uint8_t>> all;
    for (const auto& [name, bytes] : files) all.push_back(bytes);
    return all;
}

// Scans and recovers row `row` of `image` into a fresh folder under `dir`,
// checks the outputs' shapes, and returns the recovered files.
std::map<std::string, std::vector<uint8_t>> RecoverRow(const std::string& image, int row, const std::string& dir) {
    const std::string out = dir + "/out" + std::to_string(row);
    fs::create_directories(out);
    auto r = Cli({"recover", "--image", image, "--drive", std::to_string(row), "--out", out, "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");  // not a terminal: nothing but the result
    const jsonv::Value v = Json(r.out);
    EXPECT_EQ(v.order, (std::vector<std::string>{"folder", "written", "bytes", "failed"}));
    EXPECT_EQ(v["failed"].num, 0);
    const std::string folder = v["folder"].str;
    if (folder.empty()) return {};
    EXPECT_EQ(fs::path(folder).parent_path(), fs::path(out));
    EXPECT_TRUE(std::regex_match(fs::path(folder).filename().string(),
                                 std::regex(R"(Recovered Photos\((0\d|1[0-2])-[0-5]\d-[0-5]\d\))")));
    auto files = FolderFiles(folder);
    EXPECT_EQ(static_cast<double>(files.size()), v["written"].num);
    uint64_t bytes = 0;
    for (const auto& [name, content] : files) bytes += content.size();
    EXPECT_EQ(static_cast<double>(bytes), v["bytes"].num);
    return files;
}

// The checks every scanned image gets: live photos back by name, whole;
// every photo the raw scan must find back in its first bytes.
void ExpectRecovered(const std::map<std::string, std::vector<uint8_t>>& files, const std::string& photos,
                     const std::map<std::string, std::string>& live, const std::vector<std::string>& rawExpected) {
    for (const auto& [name, original] : live) {
        auto it = files.find(name);
        ASSERT_NE(it, files.end()) << name;
        EXPECT_EQ(it->second, testutil::ReadFileBytes(P(photos, original))) << name;
    }
    const auto all = Contents(files);
    for (const std::string& path : rawExpected)
        EXPECT_TRUE(oracle::CameBack(testutil::ReadFileBytes(path), all)) << path;
}

std::vector<std::string> Paths(const std::string& photos, std::initializer_list<const char*> names) {
    std::vector<std::string> out;
    for (const char* n : names) out.push_back(P(photos, n));
    return out;
}

// The one row `drives --json` lists for `image` (null when it lists another number).
jsonv::Value OnlyRow(const std::string& image) {
    auto r = Cli({"drives", "--image", image, "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    jsonv::Value rows = Json(r.out);
    EXPECT_EQ(rows.items.size(), 1u) << r.out;
    return rows.items.size() == 1 ? rows.items[0] : jsonv::Value{};
}

// ---------------------------------------------------------------------------

TEST(CliUsage, ExitStatusesAndHelp) {
    auto r = Cli({});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("lumivista-cli --help"), std::string::npos);
    r = Cli({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Usage: lumivista-cli COMMAND", 0), 0u);
    for (const char* cmd : {"drives", "scan", "recover"}) {
        r = Cli({cmd, "--help"});
        EXPECT_EQ(r.status, 0) << cmd;
        EXPECT_EQ(r.out.rfind(std::string("Usage: lumivista-cli ") + cmd, 0), 0u) << cmd;
    }
    r = Cli({"scan", "--image", "x.img"});
    EXPECT_EQ(r.status, 2);
    r = Cli({"recover", "--drive", "1", "--out", "/tmp", "--type", "psd"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("psd"), std::string::npos);
    EXPECT_NE(r.err.find("raw"), std::string::npos);  // the error lists the words that work

    r = Cli({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(std::regex_match(r.out, std::regex("lumivista-cli [0-9]+\\.[0-9]+(\\.[0-9]+)?\n"))) << r.out;

    // Failures: exit 1 with one line that says why.
    testutil::TempDir dir;
    r = Cli({"drives", "--image", dir / "missing.img"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "lumivista-cli: cannot open " + dir / "missing.img" + ": no such file or directory\n");
}

class SampleCard : public ::testing::Test {
protected:
    void SetUp() override {
        photos = testutil::PhotosDir();
        if (photos.empty()) GTEST_SKIP() << "no photos";
        if (!HaveTools({"sfdisk", "mkfs.fat", "mcopy", "mdir"})) GTEST_SKIP() << "no dosfstools/mtools";
        image = dir / "card.img";
        ASSERT_EQ(Sh("LUMIVISTA_PHOTOS=" + Quote(photos) + " bash " + testutil::ToolsDir() +
                      "/make-sample-card.sh " + Quote(image) + " >/dev/null 2>&1"),
                  0);
        sha = clirun::Sha256(image);
    }
    void TearDown() override {
        if (!image.empty()) {
            EXPECT_EQ(clirun::Sha256(image), sha) << "the scan changed the image";
        }
    }

    std::string photos, image, sha;
    testutil::TempDir dir;
};

TEST_F(SampleCard, DrivesListsThePartition) {
    auto r = Cli({"drives", "--image", image, "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const jsonv::Value rows = Json(r.out);
    ASSERT_EQ(rows.kind, jsonv::Value::Array);
    ASSERT_EQ(rows.items.size(), 1u);
    const jsonv::Value& row = rows[0];
    EXPECT_EQ(row.order, (std::vector<std::string>{"row", "device", "drive", "capacity", "information", "disk",
                                                    "partno", "fs", "fs_name", "offset", "sectors"}));
    EXPECT_EQ(row["row"].num, 1);
    EXPECT_EQ(row["device"].str, image);
    EXPECT_EQ(row["drive"].str.rfind("card.img#1: ", 0), 0u) << row["drive"].str;
    EXPECT_EQ(row["drive"].str.substr(row["drive"].str.size() - 7), "(FAT32)");
    EXPECT_EQ(row["capacity"].str, "63.00 MB");
    EXPECT_EQ(row["partno"].num, 1);
    EXPECT_EQ(row["fs"].num, 11);
    EXPECT_EQ(row["fs_name"].str, "FAT32");
    EXPECT_EQ(row["offset"].num, 2048);
    EXPECT_EQ(row["sectors"].num, 64 * 2048 - 2048);

    r = Cli({"drives", "--image", image});
    ASSERT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Capacity"), std::string::npos);
    EXPECT_NE(r.out.find("63.00 MB"), std::string::npos);
    // An image is no USB disk, but the images given are always listed.
    r = Cli({"drives", "--image", image, "--flash-only", "--json"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(Json(r.out).items.size(), 1u);
    r = Cli({"scan", "--image", image, "--drive", "2"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no drive 2"), std::string::npos);
}

TEST_F(SampleCard, ScanListsLiveAndDeletedPhotos) {
    auto r = Cli({"scan", "--image", image, "--drive", "1", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const jsonv::Value v = Json(r.out);
    EXPECT_EQ(v.order, (std::vector<std::string>{"result", "photos"}));
    EXPECT_EQ(v["result"].num, 0);
    const std::vector<std::string> cats = {"jpg", "png", "bmp", "gif", "raw", "heic", "tiff", "webp", "other"};
    std::set<std::string> live, deleted;
    size_t lastCat = 0;
    for (const jsonv::Value& p : v["photos"].items) {
        EXPECT_EQ(p.order, (std::vector<std::string>{"name", "category", "size", "origin", "deleted", "folder", "path",
                                                      "time", "runs"}));
        const size_t cat = std::find(cats.begin(), cats.end(), p["category"].str) - cats.begin();
        ASSERT_LT(cat, cats.size());
        EXPECT_GE(cat, lastCat);  // the store's order: by category
        lastCat = cat;
        ASSERT_FALSE(p["runs"].items.empty());
        double covered = 0;
        for (const jsonv::Value& run : p["runs"].items) {
            ASSERT_EQ(run.items.size(), 3u);
            EXPECT_GT(run[2].num, 0);
            covered = std::max(covered, (run[0].num + run[2].num) * 512);
        }
        EXPECT_GE(covered, p["size"].num);
        if (p["origin"].str == "raw") {
            EXPECT_EQ(p["folder"].str, "");
            EXPECT_EQ(p["path"].str, p["name"].str);
            EXPECT_EQ(p["time"].kind, jsonv::Value::Null);
        } else {
            // Every photo the walk lists has its folder and its time.
            EXPECT_EQ(p["folder"].str.rfind("DCIM/", 0), 0u) << p["path"].str;
            EXPECT_EQ(p["path"].str, p["folder"].str + "/" + p["name"].str);
            EXPECT_TRUE(std::regex_match(p["time"].str, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")))
                << p["time"].str;
        }
        if (p["origin"].str == "filesystem") {
            live.insert(p["name"].str);
            EXPECT_TRUE(p["deleted"].kind == jsonv::Value::Bool && !p["deleted"].b);
        } else if (p["origin"].str == "deleted") {
            deleted.insert(p["path"].str);
            EXPECT_TRUE(p["deleted"].kind == jsonv::Value::Bool && p["deleted"].b);
        } else {
            EXPECT_EQ(p["origin"].str, "raw");
            EXPECT_TRUE(p["deleted"].kind == jsonv::Value::Bool && p["deleted"].b);
        }
    }
    // Deleted photos whose entries and clusters were not reused come back
    // under their names and folders (the card's story: make-sample-card.sh);
    // PAINT001.BMP has no long name, and no other name of its folder tells
    // its lost first character.
    const std::set<std::string> deletedOnCard = {"DCIM/100CAMRA/IMG_0102.JPG", "DCIM/100CAMRA/IMG_0002.JPG",
                                                 "DCIM/101CAMRA/_AINT001.BMP"};
    EXPECT_EQ(deleted, deletedOnCard);
    // One list: the raw scan does not find again what a walk found.
    std::vector<std::pair<double, double>> named;  // sector ranges of the photos found by name
    for (const jsonv::Value& p : v["photos"].items)
        if (p["origin"].str != "raw")
            for (const jsonv::Value& run : p["runs"].items) named.emplace_back(run[1].num, run[1].num + run[2].num);
    for (const jsonv::Value& p : v["photos"].items) {
        if (p["origin"].str != "raw") continue;
        const double first = p["runs"][0][1].num;
        for (const auto& [from, to] : named) EXPECT_FALSE(first >= from && first < to) << p["name"].str;
    }
    // The walk lists exactly what mtools lists.
    const std::string listing =
        testutil::Capture(std::string(kMtools) + "mdir -i " + Quote(image + "@@1048576") + " -/ -b ::/");
    std::set<std::string> onCard;
    std::regex photoName(R"(/([^/]+\.(JPG|PNG|GIF|BMP))$)");
    std::string line;
    for (std::istringstream in(listing); std::getline(in, line);) {
        std::smatch m;
        if (std::regex_search(line, m, photoName)) onCard.insert(m[1]);
    }
    EXPECT_EQ(live, onCard);

    r = Cli({"scan", "--image", image, "--drive", "1"});
    ASSERT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("JPG ("), std::string::npos);
    EXPECT_NE(r.out.find("IMG_0101.JPG"), std::string::npos);
    EXPECT_NE(r.out.find(std::to_string(v["photos"].items.size()) + " photos found"), std::string::npos);
    // Each line says whether the photo is still on the drive or was deleted.
    size_t onDrive = 0, gone = 0;
    for (std::istringstream in(r.out); std::getline(in, line);) {
        if (line.find(" bytes  on drive  sector ") != std::string::npos) ++onDrive;
        if (line.find(" bytes  deleted   sector ") != std::string::npos) ++gone;  // by signature or record
    }
    EXPECT_EQ(onDrive, live.size());
    EXPECT_EQ(onDrive + gone, v["photos"].items.size());
}

TEST_F(SampleCard, ScanKeepsTheChosenTypesAndSizes) {
    auto all = Json(Cli({"scan", "--image", image, "--drive", "1", "--json"}).out);
    auto r = Cli({"scan", "--image", image, "--drive", "1", "--json", "--type", "png,gif", "--min-size", "20k"});
    ASSERT_EQ(r.status, 0) << r.err;
    const jsonv::Value chosen = Json(r.out);
    // Exactly the PNG and GIF photos of 20 KiB and more of the full scan:
    // a type left out changes nothing of what the chosen ones give back.
    std::multiset<std::string> expected, got;
    auto key = [](const jsonv::Value& p) {
        return p["name"].str + " " + p["category"].str + " " + std::to_string(p["size"].num) + " " +
               std::to_string(p["runs"][0][1].num);
    };
    for (const jsonv::Value& p : all["photos"].items)
        if ((p["category"].str == "png" || p["category"].str == "gif") && p["size"].num >= 20 * 1024)
            expected.insert(key(p));
    for (const jsonv::Value& p : chosen["photos"].items) got.insert(key(p));
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(got, expected);
}

TEST_F(SampleCard, RecoverBringsBackLiveAndDeletedPhotos) {
    const auto files = RecoverRow(image, 1, dir.path());
    const std::map<std::string, std::string> live = {
        {"IMG_0101.JPG", "IMG_0101.JPG"}, {"IMG_0103.JPG", "IMG_0103.JPG"}, {"IMG_0104.JPG", "IMG_0104.JPG"},
        {"IMG_0004.JPG", "IMG_0004.JPG"}, {"IMG_0105.JPG", "IMG_0105.JPG"}, {"SCAN0003.PNG", "SCAN0003.PNG"},
        {"SCAN0004.PNG", "SCAN0004.PNG"}, {"ANIM0002.GIF", "ANIM0002.GIF"}};
    const auto deleted = Paths(photos, {"IMG_0102.JPG", "IMG_0002.JPG", "IMG_0003.JPG", "ANIM0001.GIF", "PAINT001.BMP"});
    const auto expected = oracle::RawRecoverable(testutil::ReadFileBytes(image), 2048 * 512, 129024ull * 512, deleted);
    EXPECT_GE(expected.size(), 3u);  // the card is made so that most survive
    ExpectRecovered(files, photos, live, expected);

    // Only the types asked for.
    const std::string out = dir / "png";
    fs::create_directories(out);
    auto r = Cli({"recover", "--image", image, "--drive", "1", "--out", out, "--type", "png"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("2 photos"), std::string::npos) << r.out;
    for (const auto& e : fs::recursive_directory_iterator(out))
        if (e.is_regular_file()) {
            EXPECT_EQ(e.path().extension(), ".PNG") << e.path();
        }

    // A folder that is not there is refused before anything is read.
    r = Cli({"recover", "--image", image, "--drive", "1", "--out", dir / "nowhere"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(fs::exists(dir / "nowhere"));

    // So is a folder on a read-only file system, with that reason (needs
    // the right to mount one).
    const std::string readOnly = dir / "ro";
    fs::create_directories(readOnly);
    if (Sh("mount -t tmpfs -o ro,size=64k tmpfs " + Quote(readOnly) + " 2>/dev/null") == 0) {
        r = Cli({"recover", "--image", image, "--drive", "1", "--out", readOnly});
        Sh("umount " + Quote(readOnly));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "lumivista-cli: cannot write into " + readOnly + ": read-only file system\n");
    }
}

TEST_F(SampleCard, ProgressLineOnlyOnATerminal) {
    if (!testutil::HaveTool("script")) GTEST_SKIP() << "no script(1)";
    testutil::TempDir state;
    const std::string cmd = "XDG_STATE_HOME=" + Quote(state.path()) + " " + LUMIVISTA_CLI + " scan --image " +
                            Quote(image) + " --drive 1 >/dev/null";
    const std::string tty = testutil::Capture("script -qec " + Quote(cmd) + " /dev/null");
    EXPECT_NE(tty.find("\r"), std::string::npos) << tty;
    EXPECT_NE(tty.find("100%"), std::string::npos) << tty;
    EXPECT_NE(tty.find("found 13 photos"), std::string::npos) << tty;
}

bool ValidUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

// Names outside ASCII, as a user meets them: a live "Café au lait.png" on a
// FAT32 card (its 8.3 name holds 0x90 for É) and deleted photos with long
// names in a folder, on FAT32 and on NTFS. The names printed, the JSON and
// the files written are UTF-8; --keep-folders puts the photos into their
// folders; the files get the photos' times.
TEST(CliRecover, NamesFoldersAndTimesAsTheVolumeHasThem) {
    REQUIRE_PHOTOS_AND("sfdisk", "mkfs.fat", "mcopy", "mdel");
    testutil::TempDir dir;
    struct Volume {
        std::string image;
        std::map<std::string, std::string> expected;  // path in the recovery folder -> photo
    };
    std::vector<Volume> volumes;

    const std::string fat = dir / "fat.img";
    fs::copy_file(P(photos, "IMG_0104.JPG"), dir / "Café au lait.png");
    fs::copy_file(P(photos, "IMG_0103.JPG"), dir / "Crème brûlée.jpg");
    fs::copy_file(P(photos, "IMG_0105.JPG"), dir / "Hidden.jpg");
    const std::string i = " -i " + Quote(fat + "@@1048576") + " ";
    ASSERT_EQ(Sh("cd " + Quote(dir.path()) + " && export LANG=C.UTF-8 " + kMtools + " && bash " +
                 testutil::ToolsDir() + "/mkfatimage.sh " + Quote(fat) + " 40 'Café au lait.png' >/dev/null && mmd" + i +
                 "::/Desserts && mcopy" + i + "'Crème brûlée.jpg' Hidden.jpg ::/Desserts/ && mdel" + i +
                 "'::/Desserts/Crème brûlée.jpg'"),
              0);
    volumes.push_back({fat, {{"Café au lait.png", "Café au lait.png"}, {"Desserts/Crème brûlée.jpg", "Crème brûlée.jpg"},
                             {"Desserts/Hidden.jpg", "Hidden.jpg"}}});

    if (HaveTools({"mkntfs", "ntfscp", "ntfs-3g"})) {
        const std::string ntfs = dir / "ntfs.img";
        fs::copy_file(P(photos, "IMG_0102.JPG"), dir / "tower.jpg");
        const int rc = Sh("LC_ALL=C.UTF-8 bash " + testutil::ToolsDir() + "/mkntfsimage.sh -s 16 " + Quote(ntfs) +
                          " mkdir " + Quote("写真/東京") + " put " + Quote(dir / "tower.jpg") + " " +
                          Quote("写真/東京/東京タワー.jpg") + " put " + Quote(dir / "Café au lait.png") + " " +
                          Quote("Κνωσός.png") + " rm " + Quote("写真/東京/東京タワー.jpg") + " >/dev/null 2>&1");
        if (rc == 0)
            volumes.push_back({ntfs, {{"写真/東京/東京タワー.jpg", "tower.jpg"}, {"Κνωσός.png", "Café au lait.png"}}});
        else
            EXPECT_EQ(rc, 3 << 8) << "mkntfsimage.sh failed for another reason than FUSE";
    }

    for (const Volume& v : volumes) {
        auto r = Cli({"scan", "--image", v.image, "--drive", "1"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(ValidUtf8(r.out)) << r.out;
        for (const auto& [path, source] : v.expected) {
            const std::string name = fs::path(path).filename().string();
            EXPECT_NE(r.out.find(name), std::string::npos) << name << " in\n" << r.out;
        }
        r = Cli({"scan", "--image", v.image, "--drive", "1", "--json"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(ValidUtf8(r.out));
        std::map<std::string, std::string> times;  // path -> time
        const jsonv::Value scan = Json(r.out);
        for (const jsonv::Value& p : scan["photos"].items) {
            if (p["origin"].str == "raw") continue;
            times[p["path"].str] = p["time"].str;
            const bool deleted = p["path"].str.find("Crème") != std::string::npos ||
                                 p["path"].str.find("東京タワー") != std::string::npos;
            EXPECT_EQ(p["origin"].str, deleted ? "deleted" : "filesystem") << p["path"].str;
        }
        for (const auto& [path, source] : v.expected) EXPECT_EQ(times.count(path), 1u) << path;

        const std::string out = dir / ("out-" + fs::path(v.image).stem().string());
        fs::create_directories(out);
        r = Cli({"recover", "--image", v.image, "--drive", "1", "--out", out, "--keep-folders", "--json"});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string folder = Json(r.out)["folder"].str;
        for (const auto& [path, source] : v.expected) {
            const std::string file = folder + "/" + path;
            ASSERT_TRUE(fs::is_regular_file(file)) << file;
            EXPECT_EQ(testutil::ReadFileBytes(file), testutil::ReadFileBytes(dir / source)) << path;
            // The file's time is the photo's, as the scan reported it.
            struct stat st {};
            ASSERT_EQ(::stat(file.c_str(), &st), 0);
            char text[32];
            std::tm tm{};
            gmtime_r(&st.st_mtime, &tm);
            std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
            EXPECT_EQ(times[path], text) << path;
        }
    }
}

// The card copied drive by drive and whole: the copies are the card's bytes,
// ddrescuelog calls the maps done, and the copy of the partition scans like
// the card itself. Destinations that are unsafe are refused.
TEST_F(SampleCard, ImageCopiesTheDriveAndItsDisk) {
    const std::string part = dir / "part.img", whole = dir / "whole.img";
    auto r = Cli({"image", "--image", image, "--drive", "1", "--out", part, "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const jsonv::Value v = Json(r.out);
    EXPECT_EQ(v["result"].str, "finished");
    EXPECT_EQ(v["rescued"].num, 129024.0 * 512);
    EXPECT_EQ(v["bad_areas"].num, 0);
    EXPECT_EQ(v["map"].str, part + ".map");
    // The partition's bytes on the card, as sha256sum sees them.
    const std::string partition = testutil::Capture("dd if=" + Quote(image) +
                                                    " bs=512 skip=2048 count=129024 status=none | sha256sum");
    EXPECT_EQ(testutil::Capture("sha256sum < " + Quote(part)), partition);

    r = Cli({"image", "--image", image, "--drive", "1", "--whole-disk", "--out", whole, "--map", dir / "w.map"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("copied from the whole disk"), std::string::npos) << r.out;
    EXPECT_EQ(clirun::Sha256(whole), sha);
    if (testutil::HaveTool("ddrescuelog")) {
        EXPECT_EQ(Sh("ddrescuelog -D " + Quote(part + ".map")), 0);
        EXPECT_EQ(Sh("ddrescuelog -D " + Quote(dir / "w.map")), 0);
    }
    // Given again, the finished copy reads nothing and stays as it is.
    r = Cli({"image", "--image", image, "--drive", "1", "--out", part});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(testutil::Capture("sha256sum < " + Quote(part)), partition);

    auto names = [](const std::string& json) {
        std::multiset<std::string> n;
        const jsonv::Value v = Json(json);
        for (const jsonv::Value& p : v["photos"].items) n.insert(p["name"].str);
        return n;
    };
    auto onCard = Cli({"scan", "--image", image, "--drive", "1", "--json"});
    auto onCopy = Cli({"scan", "--image", part, "--drive", "1", "--json"});
    ASSERT_EQ(onCopy.status, 0) << onCopy.err;
    EXPECT_EQ(names(onCopy.out), names(onCard.out));

    // Destinations that would put the card or another file at risk.
    const struct {
        std::vector<std::string> args;
        int status;
        const char* says;
    } cases[] = {
        {{"--out", image}, 1, "is the drive being imaged"},
        {{"--out", dir / "x.img", "--map", image}, 1, "is the drive being imaged"},
        {{"--out", dir / "nowhere/x.img"}, 1, "no such folder"},
        {{"--out", dir / "x.img", "--map", dir / "x.img"}, 1, "must not be the image file"},
        {{"--out", dir / "taken.img"}, 1, "there is no map"},
        {{"--out", dir / "x.img", "--retries", "many"}, 2, "--retries"},
        {{}, 2, "image needs --out FILE"},
    };
    ASSERT_TRUE(testutil::WriteFileBytes(dir / "taken.img", {1, 2, 3}));
    for (const auto& c : cases) {
        std::vector<std::string> args = {"image", "--image", image, "--drive", "1"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto r = Cli(args);
        EXPECT_EQ(r.status, c.status) << c.says;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    EXPECT_EQ(testutil::ReadFileBytes(dir / "taken.img"), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_FALSE(fs::exists(dir / "x.img"));
    const auto help = Cli({"image", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: lumivista-cli image", 0), 0u);
    EXPECT_NE(help.out.find("ddrescue"), std::string::npos);
}

// Ctrl-C at any moment leaves a map from which the same command finishes the
// copy. (A large sparse disk, so that the signal most likely comes mid-way.)
TEST(CliImage, InterruptedCopyResumes) {
    testutil::TempDir dir;
    const std::string disk = dir / "disk.img", copy = dir / "copy.img";
    ASSERT_EQ(Sh("truncate -s 1G " + Quote(disk) + " && head -c 3000000 /dev/urandom | dd of=" + Quote(disk) +
                 " bs=1M seek=700 conv=notrunc status=none && printf lumivista | dd of=" + Quote(disk) +
                 " bs=1 seek=1073741000 conv=notrunc status=none"),
              0);
    testutil::TempDir state;
    // Ctrl-C once the copy has begun (its image file exists), however slowly
    // the program starts; a copy that ends first exits 0 and is not checked here.
    const std::string cmd = "XDG_STATE_HOME=" + Quote(state.path()) + " " + LUMIVISTA_CLI + " image --image " +
                            Quote(disk) + " --drive 1 --out " + Quote(copy) +
                            " & pid=$!; for i in $(seq 1000); do [ -e " + Quote(copy) +
                            " ] && break; sleep 0.01; done; sleep 0.05; kill -INT $pid 2>/dev/null; wait $pid";
    int status = -1;
    const std::string out = testutil::Capture(cmd, &status);
    if (status != 0) {  // stopped: the map says how far it got
        EXPECT_NE(out.find("copy stopped"), std::string::npos) << out;
        if (testutil::HaveTool("ddrescuelog")) {
            EXPECT_EQ(Sh("ddrescuelog -t " + Quote(copy + ".map") + " >/dev/null"), 0);
            EXPECT_NE(Sh("ddrescuelog -D " + Quote(copy + ".map")), 0);
        }
    }
    auto r = Cli({"image", "--image", disk, "--drive", "1", "--out", copy});
    ASSERT_EQ(r.status, 0) << r.err;
    if (testutil::HaveTool("ddrescuelog")) {
        EXPECT_EQ(Sh("ddrescuelog -D " + Quote(copy + ".map")), 0);
    }
    // The data areas match (comparing the whole gigabyte would take seconds;
    // the rest of both is zero, and zeros are never written).
    EXPECT_EQ(fs::file_size(copy), fs::file_size(disk));
    auto piece = [](const std::string& path, uint64_t from, uint64_t bytes) {
        return testutil::Capture("dd if=" + Quote(path) + " bs=1M iflag=skip_bytes,count_bytes skip=" +
                                 std::to_string(from) + " count=" + std::to_string(bytes) +
                                 " status=none | sha256sum");
    };
    EXPECT_EQ(piece(copy, 700ull << 20, 3000000), piece(disk, 700ull << 20, 3000000));
    EXPECT_EQ(piece(copy, 1073741000, 9), piece(disk, 1073741000, 9));
}

TEST(CliRecover, HostileNamesStayInTheRecoveryFolder) {
    REQUIRE_PHOTOS_AND("sfdisk", "mkfs.fat", "mcopy");
    testutil::TempDir dir;
    const std::string image = dir / "hostile.img";
    fs::copy_file(P(photos, "IMG_0105.JPG"), dir / "X.JPG");
    fs::copy_file(P(photos, "IMG_0104.JPG"), dir / "Y.JPG");
    ASSERT_EQ(Sh("bash " + testutil::ToolsDir() + "/mkfatimage.sh -s 1 " + Quote(image) + " 40 " +
                  Quote(dir / "X.JPG") + " " + Quote(dir / "Y.JPG") + " >/dev/null"),
              0);
    // Rewrite the short names on disk: "X/../../" + "JPG", and "A/<control>B" + "JPG".
    auto bytes = testutil::ReadFileBytes(image);
    int patched = 0;
    for (size_t off = 0; off + 11 <= bytes.size(); off += 32) {
        if (std::memcmp(&bytes[off], "X       JPG", 11) == 0) {
            std::memcpy(&bytes[off], "X/../../JPG", 11);
            ++patched;
        } else if (std::memcmp(&bytes[off], "Y       JPG", 11) == 0) {
            std::memcpy(&bytes[off], "A/\x01" "B    JPG", 11);
            ++patched;
        }
    }
    ASSERT_EQ(patched, 2);
    ASSERT_TRUE(testutil::WriteFileBytes(image, bytes));

    const std::string out = dir / "a/b";
    fs::create_directories(out);
    const auto files = RecoverRow(image, 1, out);
    // Every file is in the recovery folder itself; nothing appeared elsewhere.
    for (const auto& e : fs::recursive_directory_iterator(dir.path())) {
        const std::string rel = e.path().lexically_relative(dir.path()).string();
        if (e.is_directory()) {
            EXPECT_TRUE(rel == "a" || rel == "a/b" || rel.rfind("a/b/out1", 0) == 0) << rel;
        } else if (rel != "hostile.img" && rel != "X.JPG" && rel != "Y.JPG") {
            EXPECT_EQ(rel.rfind("a/b/out1/Recovered Photos(", 0), 0u) << rel;
            EXPECT_EQ(std::count(rel.begin(), rel.end(), '/'), 4) << rel;
        }
    }
    auto it = files.find("X_.._.._.JPG");
    ASSERT_NE(it, files.end());
    EXPECT_EQ(it->second, testutil::ReadFileBytes(P(photos, "IMG_0105.JPG")));
    it = files.find("A__B.JPG");
    ASSERT_NE(it, files.end());
    EXPECT_EQ(it->second, testutil::ReadFileBytes(P(photos, "IMG_0104.JPG")));
}

TEST(CliScan, QuickFormattedCardGivesItsPhotosBack) {
    REQUIRE_PHOTOS_AND("sfdisk", "mkfs.fat", "mcopy");
    testutil::TempDir dir;
    const std::string image = dir / "formatted.img";
    const auto before = Paths(photos, {"IMG_0101.JPG", "IMG_0003.JPG", "IMG_0103.JPG", "SCAN0003.PNG",
                                       "ANIM0002.GIF", "PAINT002.BMP"});
    std::string files;
    for (const auto& p : before) files += " " + Quote(p);
    ASSERT_EQ(Sh("bash " + testutil::ToolsDir() + "/mkfatimage.sh -s 1 " + Quote(image) + " 40" + files +
                  " >/dev/null"),
              0);
    // Formatted in the camera: a new empty file system over the old one,
    // then one new photo.
    ASSERT_EQ(Sh("mkfs.fat -F 32 -s 1 -h 2048 -n NEWCARD --offset=2048 " + Quote(image) + " " +
                  std::to_string((40 * 2048 - 2048) / 2) + " >/dev/null"),
              0);
    ASSERT_EQ(Sh(std::string(kMtools) + "mcopy -i " + Quote(image + "@@1048576") + " " +
                  Quote(P(photos, "IMG_0105.JPG")) + " ::/"),
              0);
    const std::string sha = clirun::Sha256(image);
    const auto imageBytes = testutil::ReadFileBytes(image);
    const auto expected = oracle::RawRecoverable(imageBytes, 2048 * 512, (40 * 2048 - 2048) * 512ull, before);
    EXPECT_GE(expected.size(), 4u);
    const auto recovered = RecoverRow(image, 1, dir.path());
    ExpectRecovered(recovered, photos, {{"IMG_0105.JPG", "IMG_0105.JPG"}}, expected);
    EXPECT_EQ(clirun::Sha256(image), sha);
}

TEST(CliScan, ExtendedContainerWithLogicalPartitions) {
    REQUIRE_PHOTOS_AND("sfdisk", "mkfs.fat", "mcopy", "mkfs.ext4");
    testutil::TempDir dir;
    const std::string image = dir / "logical.img";
    // p1: unformatted, with a photo written straight into it; p2: the
    // container; p5: FAT32; p6: ext4.
    ASSERT_EQ(Sh("truncate -s 64M " + Quote(image) +
                  " && printf 'label: dos\\nstart=2048, size=8192, type=83\\nstart=10240, type=5\\n"
                  "start=12288, size=81920, type=c\\nstart=96256, type=83\\n' | sfdisk -q " + Quote(image)),
              0);
    ASSERT_EQ(Sh("dd if=" + Quote(P(photos, "IMG_0104.JPG")) + " of=" + Quote(image) +
                  " bs=512 seek=2112 conv=notrunc status=none"),
              0);
    ASSERT_EQ(Sh("mkfs.fat -F 32 -s 1 -n LOGICAL --offset=12288 " + Quote(image) + " 40960 >/dev/null"), 0);
    ASSERT_EQ(Sh(std::string(kMtools) + "mcopy -i " + Quote(image + "@@" + std::to_string(12288 * 512)) + " " +
                  Quote(P(photos, "IMG_0101.JPG")) + " " + Quote(P(photos, "SCAN0004.PNG")) + " ::/"),
              0);
    fs::create_directories(dir / "ext");
    for (const char* n : {"IMG_0102.JPG", "ANIM0001.GIF", "PAINT002.BMP"}) fs::copy_file(P(photos, n), dir / ("ext/" + std::string(n)));
    ASSERT_EQ(Sh("mkfs.ext4 -q -F -d " + Quote(dir / "ext") + " -E offset=" + std::to_string(96256 * 512) + " " +
                  Quote(image) + " 17408k"),
              0);
    const std::string sha = clirun::Sha256(image);

    auto r = Cli({"drives", "--image", image, "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const jsonv::Value rows = Json(r.out);
    ASSERT_EQ(rows.items.size(), 3u) << r.out;  // the container is no drive
    const std::vector<std::pair<int, int>> want = {{1, 255}, {5, 11}, {6, 255}};
    const std::vector<double> offsets = {2048, 12288, 96256};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(rows[i]["row"].num, i + 1);
        EXPECT_EQ(rows[i]["partno"].num, want[i].first);
        EXPECT_EQ(rows[i]["fs"].num, want[i].second);
        EXPECT_EQ(rows[i]["offset"].num, offsets[i]);
        EXPECT_EQ(rows[i]["drive"].str.rfind("logical.img#" + std::to_string(want[i].first) + ": ", 0), 0u);
    }
    const auto bytes = testutil::ReadFileBytes(image);

    // The unformatted primary: raw scan only.
    auto files = RecoverRow(image, 1, dir.path());
    ExpectRecovered(files, photos, {}, Paths(photos, {"IMG_0104.JPG"}));
    // The FAT32 logical partition: walked.
    files = RecoverRow(image, 2, dir.path());
    ExpectRecovered(files, photos, {{"IMG_0101.JPG", "IMG_0101.JPG"}, {"SCAN0004.PNG", "SCAN0004.PNG"}}, {});
    // The ext4 logical partition: raw scan only, finds its files by signature.
    files = RecoverRow(image, 3, dir.path());
    const auto expected = oracle::RawRecoverable(bytes, 96256 * 512ull, 34816 * 512ull,
                                                 Paths(photos, {"IMG_0102.JPG", "ANIM0001.GIF", "PAINT002.BMP"}));
    EXPECT_FALSE(expected.empty());
    ExpectRecovered(files, photos, {}, expected);
    for (const auto& [name, content] : files) EXPECT_TRUE(std::regex_match(name, std::regex(R"(\d{10}\.\w{3})"))) << name;
    EXPECT_EQ(clirun::Sha256(image), sha);
}

TEST(CliScan, GptPartitionsAreWalkedAndAnUnreadableGptIsScannedWhole) {
    REQUIRE_PHOTOS_AND("sgdisk", "mkfs.fat", "mcopy");
    testutil::TempDir dir;
    const std::string image = dir / "gpt.img";
    // p1: FAT32 "Basic data" named "Holiday"; p2: Linux data, unformatted,
    // with a photo written straight into it.
    ASSERT_EQ(Sh("truncate -s 64M " + Quote(image) + " && sgdisk -n 1:2048:+40M -t 1:0700 -c 1:Holiday "
                 "-n 2:0:+8M -t 2:8300 -c 2:Spare " + Quote(image) + " >/dev/null"),
              0);
    ASSERT_EQ(Sh("mkfs.fat -F 32 -s 1 --offset=2048 " + Quote(image) + " 40960 >/dev/null"), 0);
    ASSERT_EQ(Sh(std::string(kMtools) + "mcopy -i " + Quote(image + "@@1048576") + " " +
                  Quote(P(photos, "IMG_0101.JPG")) + " " + Quote(P(photos, "SCAN0004.PNG")) + " ::/"),
              0);
    ASSERT_EQ(Sh("dd if=" + Quote(P(photos, "IMG_0104.JPG")) + " of=" + Quote(image) +
                  " bs=512 seek=$((83968 + 64)) conv=notrunc status=none"),
              0);
    const std::string sha = clirun::Sha256(image);

    auto r = Cli({"drives", "--image", image, "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    jsonv::Value rows = Json(r.out);
    ASSERT_GE(rows.items.size(), 2u) << r.out;
    EXPECT_EQ(rows[0]["partno"].num, 1);
    EXPECT_EQ(rows[0]["fs"].num, 11);
    EXPECT_EQ(rows[1]["partno"].num, 2);
    EXPECT_EQ(rows[1]["fs"].num, 255);
    EXPECT_NE(rows[1]["drive"].str.find("Spare"), std::string::npos) << rows[1]["drive"].str;

    auto files = RecoverRow(image, 1, dir.path());
    ExpectRecovered(files, photos, {{"IMG_0101.JPG", "IMG_0101.JPG"}, {"SCAN0004.PNG", "SCAN0004.PNG"}}, {});
    files = RecoverRow(image, 2, dir.path());
    ExpectRecovered(files, photos, {}, Paths(photos, {"IMG_0104.JPG"}));
    EXPECT_EQ(clirun::Sha256(image), sha);

    // Both copies of the table damaged: one row for the whole disk, raw-scanned.
    ASSERT_TRUE(testutil::FlipByte(image, 512 + 16));
    ASSERT_TRUE(testutil::FlipByte(image, 64 * 1048576 - 512 + 16));
    r = Cli({"drives", "--image", image, "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    rows = Json(r.out);
    ASSERT_EQ(rows.items.size(), 1u) << r.out;
    EXPECT_EQ(rows[0]["fs"].num, 4095);
    // A folder of its own: within the same second the recovery folder's name would repeat.
    files = RecoverRow(image, 1, dir / "whole");
    const auto bytes = testutil::ReadFileBytes(image);
    const auto expected = oracle::RawRecoverable(bytes, 0, bytes.size(),
                                                 Paths(photos, {"IMG_0101.JPG", "SCAN0004.PNG", "IMG_0104.JPG"}));
    EXPECT_EQ(expected.size(), 3u);
    ExpectRecovered(files, photos, {}, expected);
}

// A card formatted whole, without a partition table, is one volume: walked,
// with its label. mformat writes an entry into the boot sector that starts at
// sector 0 and runs to a whole cylinder, past the disk's end; mkfs.fat none.
TEST(CliScan, CardsFormattedWithoutATableAreOneVolumeWithTheirLabel) {
    REQUIRE_PHOTOS_AND("mformat", "mcopy", "mdel", "mkfs.fat");
    struct Case {
        const char* label;
        uint64_t sectors;
        std::string format;  // formats the image at the end of the command
        int fs;
    };
    const Case cases[] = {
        {"FLOPPY", 2880, std::string(kMtools) + "mformat -f 1440 -v FLOPPY -i", 1},
        {"MFCARD16", 65536, std::string(kMtools) + "mformat -T 65536 -c 4 -v MFCARD16 -i", 6},
        {"MFCARD32", 262144, std::string(kMtools) + "mformat -F -T 262144 -c 1 -v MFCARD32 -i", 11},
        {"MKFSCARD", 131072, "mkfs.fat -F 32 -n MKFSCARD", 11},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        testutil::TempDir dir;
        const std::string image = dir / "card.img";
        ASSERT_EQ(Sh("truncate -s " + std::to_string(c.sectors * 512) + " " + Quote(image) + " && " + c.format +
                     " " + Quote(image) + (c.format.ends_with("-i") ? " ::" : "") + " >/dev/null && " + kMtools +
                     "mcopy -i " + Quote(image) + " " + Quote(P(photos, "IMG_0104.JPG")) + " " +
                     Quote(P(photos, "IMG_0105.JPG")) + " " + Quote(P(photos, "ANIM0002.GIF")) + " ::/ && " +
                     kMtools + "mdel -i " + Quote(image) + " ::/IMG_0105.JPG"),
                  0);
        const jsonv::Value row = OnlyRow(image);
        EXPECT_EQ(row["partno"].num, 0);
        EXPECT_EQ(row["offset"].num, 0);
        EXPECT_EQ(row["sectors"].num, static_cast<double>(c.sectors));
        EXPECT_EQ(row["fs"].num, c.fs);
        EXPECT_EQ(row["drive"].str, std::string("card.img: ") + c.label + " (FAT" +
                                        (c.fs == 1 ? "12" : c.fs == 6 ? "16" : "32") + ")");
        const auto files = RecoverRow(image, 1, dir.path());
        ExpectRecovered(files, photos, {{"IMG_0104.JPG", "IMG_0104.JPG"}, {"ANIM0002.GIF", "ANIM0002.GIF"}},
                        Paths(photos, {"IMG_0105.JPG"}));
    }
}

// Large USB disks often have 4096-byte sectors, and NTFS made on them counts
// in those: the volume is walked all the same.
TEST(CliScan, NtfsOfFourKilobyteSectorsIsWalked) {
    REQUIRE_PHOTOS_AND("mkntfs", "ntfscp");
    testutil::TempDir dir;
    const std::string image = dir / "4k.img";
    ASSERT_EQ(Sh("truncate -s 64M " + Quote(image) + " && mkntfs -F -Q -q -s 4096 -c 8192 -L BIGDISK " + Quote(image) +
                 " >/dev/null 2>&1 && ntfscp -q " + Quote(image) + " " + Quote(P(photos, "IMG_0101.JPG")) +
                 " IMG_0101.JPG >/dev/null 2>&1 && ntfscp -q " + Quote(image) + " " + Quote(P(photos, "SCAN0004.PNG")) +
                 " \"Scan 4.png\" >/dev/null 2>&1"),
              0);
    const jsonv::Value row = OnlyRow(image);
    EXPECT_EQ(row["fs"].num, 7);
    EXPECT_EQ(row["drive"].str, "4k.img: BIGDISK (NTFS)");
    ExpectRecovered(RecoverRow(image, 1, dir.path()), photos,
                    {{"IMG_0101.JPG", "IMG_0101.JPG"}, {"Scan 4.png", "SCAN0004.PNG"}}, {});
}

// A folder or a drive set to save space keeps its photos compressed: they
// come back expanded, byte for byte, deleted ones too, from a scan and from
// its saved session.
TEST(CliScan, CompressedNtfsPhotosComeBackExpanded) {
    REQUIRE_PHOTOS_AND("mkntfs", "ntfscp", "ntfs-3g", "sfdisk", "setfattr");
    testutil::TempDir dir;
    const std::string image = dir / "compressed.img";
    // A bitmap shrinks (LZNT1 units), a JPEG mostly does not (units stored
    // as they are); the PNG is smaller than one unit.
    const int rc = Sh("bash " + testutil::ToolsDir() + "/mkntfsimage.sh -s 32 " + Quote(image) +
                      " mkdir Photos cput " + Quote(P(photos, "PAINT001.BMP")) + " Photos/PAINT001.BMP cput " +
                      Quote(P(photos, "IMG_0001.JPG")) + " Photos/IMG_0001.JPG cput " +
                      Quote(P(photos, "SCAN0004.PNG")) + " Photos/SCAN0004.PNG cput " +
                      Quote(P(photos, "PAINT002.BMP")) + " Photos/PAINT002.BMP rm Photos/PAINT002.BMP >/dev/null 2>&1");
    if (rc == 3 << 8) GTEST_SKIP() << "writing compressed files needs an ntfs-3g FUSE mount, unavailable here";
    ASSERT_EQ(rc, 0);
    // The oracle: the sleuthkit sees the file compressed.
    if (testutil::HaveTool("istat")) {
        const std::string istat = testutil::Capture("istat -o 2048 " + Quote(image) +
                                                    " $(ifind -o 2048 -n Photos/PAINT001.BMP " + Quote(image) + ")");
        EXPECT_NE(istat.find("Compressed"), std::string::npos) << istat;
    }
    const std::map<std::string, std::string> named = {{"PAINT001.BMP", "PAINT001.BMP"},
                                                      {"IMG_0001.JPG", "IMG_0001.JPG"},
                                                      {"SCAN0004.PNG", "SCAN0004.PNG"},
                                                      {"PAINT002.BMP", "PAINT002.BMP"}};
    ExpectRecovered(RecoverRow(image, 1, dir / "direct"), photos, named, {});

    const std::string session = dir / "compressed.lumivista-session";
    auto scan = Cli({"scan", "--image", image, "--drive", "1", "--session", session});
    ASSERT_EQ(scan.status, 0) << scan.err;
    fs::create_directories(dir / "saved");
    auto saved = Cli({"recover", "--session", session, "--out", dir / "saved", "--json"});
    ASSERT_EQ(saved.status, 0) << saved.err;
    const jsonv::Value v = Json(saved.out);
    ASSERT_EQ(v["written"].num, 4);
    ExpectRecovered(FolderFiles(v["folder"].str), photos, named, {});
}

// On a full drive long in use a photo may lie in hundreds of pieces: its
// runs, and even its name, spill over its record into others that an
// attribute list names. It comes back whole, under its name, in its folder.
TEST(CliScan, NtfsPhotoInHundredsOfPiecesComesBackWhole) {
    REQUIRE_PHOTOS_AND("mkntfs", "ntfscp", "ntfs-3g", "sfdisk", "istat");
    testutil::TempDir dir;
    const std::string image = dir / "scattered.img";
    const int rc = Sh("bash " + testutil::ToolsDir() + "/mkntfsimage.sh -s 64 " + Quote(image) +
                      " mkdir Photos scatter " + Quote(P(photos, "IMG_0003.JPG")) +
                      " Photos/IMG_0003.JPG >/dev/null 2>&1");
    if (rc == 3 << 8) GTEST_SKIP() << "scattering a file needs an ntfs-3g FUSE mount, unavailable here";
    ASSERT_EQ(rc, 0);
    // The oracle: the sleuthkit sees the list.
    const std::string istat = testutil::Capture("istat -o 2048 " + Quote(image) + " $(ifind -o 2048 -n " +
                                                "Photos/IMG_0003.JPG " + Quote(image) + ")");
    ASSERT_NE(istat.find("$ATTRIBUTE_LIST"), std::string::npos) << istat;
    const std::string out = dir / "out";
    fs::create_directories(out);
    auto r = Cli({"recover", "--image", image, "--drive", "1", "--out", out, "--keep-folders", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const jsonv::Value v = Json(r.out);
    EXPECT_EQ(v["written"].num, 1);
    EXPECT_EQ(testutil::ReadFileBytes(v["folder"].str + "/Photos/IMG_0003.JPG"),
              testutil::ReadFileBytes(P(photos, "IMG_0003.JPG")));
}

TEST(CliScan, NtfsWalkAndFreeClusters) {
    REQUIRE_PHOTOS_AND("sfdisk", "mkntfs", "ntfscp");
    testutil::TempDir dir;
    const std::string part = dir / "part.img", image = dir / "ntfs.img";
    const std::string mk = "mkntfs -F -Q -q -c 4096 -p 2048 -H 255 -S 63 -L PHOTOS " + Quote(part) + " >/dev/null 2>&1";
    auto put = [&](const char* photo, const std::string& name) {
        return Sh("ntfscp -q " + Quote(part) + " " + Quote(P(photos, photo)) + " " + Quote(name) + " >/dev/null 2>&1");
    };
    ASSERT_EQ(Sh("truncate -s 48M " + Quote(part) + " && " + mk), 0);
    // Photos of the old file system, then a quick format: their clusters are free.
    const auto old = Paths(photos, {"IMG_0003.JPG", "IMG_0103.JPG", "SCAN0003.PNG", "PAINT002.BMP"});
    for (const char* n : {"IMG_0003.JPG", "IMG_0103.JPG", "SCAN0003.PNG", "PAINT002.BMP"}) ASSERT_EQ(put(n, n), 0);
    ASSERT_EQ(Sh(mk), 0);
    ASSERT_EQ(put("IMG_0101.JPG", "Holiday photo 1.jpg"), 0);
    ASSERT_EQ(put("ANIM0002.GIF", "ANIM0002.GIF"), 0);
    ASSERT_EQ(put("IMG_0102.JPG", "saved page.dat"), 0);  // looked inside
    ASSERT_EQ(Sh("truncate -s 50M " + Quote(image) + " && echo 'start=2048, type=7' | sfdisk -q " + Quote(image) +
                  " && dd if=" + Quote(part) + " of=" + Quote(image) + " bs=1M seek=1 conv=notrunc status=none"),
              0);
    const std::string sha = clirun::Sha256(image);

    auto r = Cli({"drives", "--image", image, "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const jsonv::Value rows = Json(r.out);
    ASSERT_EQ(rows.items.size(), 1u) << r.out;
    EXPECT_EQ(rows[0]["fs"].num, 7);
    EXPECT_EQ(rows[0]["drive"].str.substr(rows[0]["drive"].str.size() - 6), "(NTFS)");

    r = Cli({"scan", "--image", image, "--drive", "1", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::set<std::string> live;
    const jsonv::Value scan = Json(r.out);
    for (const jsonv::Value& p : scan["photos"].items)
        if (p["origin"].str == "filesystem") live.insert(p["name"].str);
    EXPECT_EQ(live, (std::set<std::string>{"Holiday photo 1.jpg", "ANIM0002.GIF", "saved page.dat"}));

    const auto expected = oracle::RawRecoverable(testutil::ReadFileBytes(image), 2048 * 512, 48ull << 20, old);
    EXPECT_GE(expected.size(), 2u);
    const auto files = RecoverRow(image, 1, dir.path());
    ExpectRecovered(files, photos,
                    {{"Holiday photo 1.jpg", "IMG_0101.JPG"}, {"ANIM0002.GIF", "ANIM0002.GIF"},
                     {"saved page.dat", "IMG_0102.JPG"}},
                    expected);
    // A live photo is found once: its clusters are used, so the raw scan skips them.
    int copies = 0;
    const auto gif = testutil::ReadFileBytes(P(photos, "ANIM0002.GIF"));
    for (const auto& [name, content] : files)
        if (content.size() >= gif.size() && std::memcmp(content.data(), gif.data(), gif.size()) == 0) ++copies;
    EXPECT_EQ(copies, 1);
    EXPECT_EQ(clirun::Sha256(image), sha);
}

// A card of the newer types: RAW, HEIC, TIFF and WebP files live and
// deleted (mtools), and photos under names that name no photo. Every one
// comes back byte for byte; looking inside files is what lists the renamed
// ones, and --names-only leaves them out.
TEST(CliScan, NewTypesLiveDeletedAndRenamed) {
    REQUIRE_PHOTOS_AND("sfdisk", "mkfs.fat", "mcopy", "mdel");
    const std::string formats = fmtest::FormatsDir();
    if (formats.empty()) GTEST_SKIP() << "no samples of the newer types (cwebp, heif-enc, convert)";
    testutil::TempDir dir;
    const struct {
        std::string source, path;
        bool deleted;
    } files[] = {
        {formats + "/camera.cr3", "DCIM/IMG_0002.CR3", false},
        {formats + "/camera.nef", "DCIM/DSC_0001.NEF", true},
        {formats + "/photo.heic", "DCIM/IMG_0003.HEIC", true},
        {formats + "/strips-le.tif", "DCIM/SCAN0001.TIF", true},
        {formats + "/lossy.webp", "DCIM/PIC00001.WEBP", true},
        {formats + "/tiles-be.tif", "DCIM/SCAN0002.TIF", false},
        {P(photos, "IMG_0101.JPG"), "Saved/holiday photo.dat", false},
        {formats + "/camera.raf", "Saved/DSCF0003.tmp", false},
        {formats + "/lossless.webp", "Saved/image", false},
        {formats + "/photo.avif", "Saved/phone.bin", false},
    };
    const std::string stage = dir / "stage";
    for (const auto& f : files) {
        fs::create_directories(fs::path(stage) / fs::path(f.path).parent_path());
        fs::copy_file(f.source, fs::path(stage) / f.path);
    }
    // Not photos, whatever their names: text, and text named like a photo.
    testutil::WriteFileBytes(stage + "/Saved/notes.txt", std::vector<uint8_t>(3000, 'n'));
    testutil::WriteFileBytes(stage + "/Saved/empty.jpg", std::vector<uint8_t>(700, 0));
    const std::string image = dir / "card.img";
    ASSERT_EQ(Sh("bash " + testutil::ToolsDir() + "/mkfatimage.sh -s 1 " + Quote(image) + " 40 " +
                  Quote(stage + "/DCIM") + " " + Quote(stage + "/Saved") + " >/dev/null"),
              0);
    for (const auto& f : files) {
        if (!f.deleted) continue;
        ASSERT_EQ(Sh(std::string(kMtools) + "mdel -i " + Quote(image + "@@1048576") + " " + Quote("::/" + f.path)), 0);
    }
    const std::string sha = clirun::Sha256(image);

    auto recovered = [&](std::vector<std::string> extra) {
        const std::string out = dir / ("out" + std::to_string(extra.size()));
        fs::create_directories(out);
        std::vector<std::string> args = {"recover", "--image", image, "--drive", "1", "--out", out, "--json"};
        args.insert(args.end(), extra.begin(), extra.end());
        const auto r = Cli(args);
        EXPECT_EQ(r.status, 0) << r.err;
        std::vector<std::vector<uint8_t>> all;
        for (const auto& e : fs::recursive_directory_iterator(out))
            if (e.is_regular_file()) all.push_back(testutil::ReadFileBytes(e.path().string()));
        return all;
    };
    auto exactly = [](const std::vector<std::vector<uint8_t>>& all, const std::vector<uint8_t>& bytes) {
        return std::count(all.begin(), all.end(), bytes);
    };
    const auto all = recovered({});
    for (const auto& f : files)
        EXPECT_EQ(exactly(all, testutil::ReadFileBytes(f.source)), 1) << f.path;
    EXPECT_EQ(exactly(all, std::vector<uint8_t>(3000, 'n')), 0);
    EXPECT_EQ(all.size(), std::size(files) + 1);  // and the empty .jpg, as named

    // Names only: the renamed photos are not listed.
    const auto named = recovered({"--names-only"});
    for (const auto& f : files)
        EXPECT_EQ(exactly(named, testutil::ReadFileBytes(f.source)), f.path.rfind("Saved/", 0) == 0 ? 0 : 1) << f.path;

    // The renamed photos are listed as what they are, as live files.
    const jsonv::Value scan = Json(Cli({"scan", "--image", image, "--drive", "1", "--json"}).out);
    std::multiset<std::string> kinds;
    for (const jsonv::Value& p : scan["photos"].items)
        if (p["origin"].str == "filesystem") kinds.insert(p["category"].str + " " + std::to_string(int(p["size"].num)));
    for (const char* renamed : {"IMG_0101.JPG"})
        EXPECT_EQ(kinds.count("jpg " + std::to_string(fs::file_size(P(photos, renamed)))), 1u);
    EXPECT_EQ(kinds.count("raw " + std::to_string(fs::file_size(formats + "/camera.raf"))), 1u);
    EXPECT_EQ(kinds.count("webp " + std::to_string(fs::file_size(formats + "/lossless.webp"))), 1u);
    EXPECT_EQ(kinds.count("heic " + std::to_string(fs::file_size(formats + "/photo.avif"))), 1u);
    EXPECT_EQ(clirun::Sha256(image), sha);

    // The same files live on exFAT (when a loop device and FUSE can be had).
    const std::string exfat = dir / "exfat.img";
    const int made = Sh("bash " + testutil::ToolsDir() + "/mkexfatimage.sh " + Quote(exfat) + " 40 " +
                        Quote("cp -r " + Quote(stage) + "/* .") + " >/dev/null 2>&1");
    if (made == 77 || !HaveTools({"mkfs.exfat"})) GTEST_SKIP() << "no exFAT image can be made here";
    ASSERT_EQ(made, 0);
    const std::string out = dir / "exfat-out";
    fs::create_directories(out);
    ASSERT_EQ(Cli({"recover", "--image", exfat, "--drive", "1", "--out", out}).status, 0);
    std::vector<std::vector<uint8_t>> fromExfat;
    for (const auto& e : fs::recursive_directory_iterator(out))
        if (e.is_regular_file()) fromExfat.push_back(testutil::ReadFileBytes(e.path().string()));
    for (const auto& f : files) EXPECT_EQ(exactly(fromExfat, testutil::ReadFileBytes(f.source)), 1) << f.path;
}

// ---------------------------------------------------------------------------
// Partition tables as the drive list shows them.

struct MbrEntry {
    uint8_t type;
    uint32_t start, count;
    bool active = false;
};

// A disk image of `sectors` sectors whose sector 0 is an MBR with these entries.
std::string MbrImage(const testutil::TempDir& dir, const std::string& name, uint32_t sectors,
                     std::vector<MbrEntry> entries) {
    std::vector<uint8_t> bytes(static_cast<size_t>(sectors) * 512, 0);
    for (size_t i = 0; i < entries.size() && i < 4; ++i) {
        uint8_t* e = &bytes[446 + 16 * i];
        e[0] = entries[i].active ? 0x80 : 0;
        e[4] = entries[i].type;
        std::memcpy(e + 8, &entries[i].start, 4);
        std::memcpy(e + 12, &entries[i].count, 4);
    }
    bytes[510] = 0x55;
    bytes[511] = 0xAA;
    const std::string path = dir / name;
    testutil::WriteFileBytes(path, bytes);
    return path;
}

jsonv::Value DriveRows(const std::string& image) {
    auto r = Cli({"drives", "--image", image, "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    return Json(r.out);
}

TEST(CliDrives, PartitionTableCases) {
    testutil::TempDir dir;
    const uint32_t total = 40960;

    // No partitions: the whole disk is one unallocated entry.
    jsonv::Value rows = DriveRows(MbrImage(dir, "empty.img", total, {}));
    ASSERT_EQ(rows.items.size(), 1u);
    EXPECT_EQ(rows[0]["fs"].num, 239);
    EXPECT_EQ(rows[0]["offset"].num, 0);
    EXPECT_EQ(rows[0]["sectors"].num, total);
    EXPECT_NE(rows[0]["drive"].str.find("(Unallocated)"), std::string::npos);

    // An extended container without logical partitions: not a row itself,
    // but one unallocated entry covering it.
    rows = DriveRows(MbrImage(dir, "ext.img", total, {{0x05, 2048, total - 2048}}));
    ASSERT_EQ(rows.items.size(), 1u) << clirun::Cli({"drives", "--image", dir / "ext.img"}).out;
    EXPECT_EQ(rows[0]["fs"].num, 239);
    EXPECT_EQ(rows[0]["offset"].num, 2048);
    EXPECT_EQ(rows[0]["sectors"].num, total - 2048);

    // Type 0x0B over an all-zero first sector is not recognised.
    rows = DriveRows(MbrImage(dir, "zero.img", total, {{0x0B, 2048, total - 2048}}));
    ASSERT_EQ(rows.items.size(), 1u);
    EXPECT_EQ(rows[0]["fs"].num, 255);
    EXPECT_NE(rows[0]["drive"].str.find("(Raw)"), std::string::npos);

    // Overlapping entries: the table is refused as a whole.
    rows = DriveRows(MbrImage(dir, "overlap.img", total, {{0x83, 2048, 20000}, {0x83, 10000, 20000}}));
    ASSERT_EQ(rows.items.size(), 1u);
    EXPECT_EQ(rows[0]["fs"].num, 4095);
    EXPECT_EQ(rows[0]["drive"].str, "Bad DPT Disk (Unknown)");
    EXPECT_EQ(rows[0]["sectors"].num, total);

    if (HaveTools({"sfdisk", "mkfs.fat"})) {
        // Type 0x07 holding a FAT32 boot sector counts as FAT32.
        const std::string fat = MbrImage(dir, "fat7.img", 81920, {{0x07, 2048, 81920 - 2048}});
        ASSERT_EQ(Sh("mkfs.fat -F 32 -s 1 --offset=2048 " + Quote(fat) + " " + std::to_string((81920 - 2048) / 2) +
                      " >/dev/null"),
                  0);
        rows = DriveRows(fat);
        ASSERT_EQ(rows.items.size(), 1u);
        EXPECT_EQ(rows[0]["fs"].num, 11);

        // A GPT disk lists its partition and the free space after it.
        const std::string gpt = dir / "gpt.img";
        ASSERT_EQ(Sh("truncate -s 20M " + Quote(gpt) + " && echo 'start=2048, size=10000' | sfdisk -q -X gpt " +
                      Quote(gpt)),
                  0);
        rows = DriveRows(gpt);
        ASSERT_EQ(rows.items.size(), 2u);
        EXPECT_EQ(rows[0]["partno"].num, 1);
        EXPECT_EQ(rows[0]["offset"].num, 2048);
        EXPECT_EQ(rows[0]["sectors"].num, 10000);
        EXPECT_EQ(rows[1]["fs"].num, 239);
    }
}

TEST(CliDrives, SeveralImagesInTheOrderGiven) {
    testutil::TempDir dir;
    const std::string a = MbrImage(dir, "a.img", 20480, {{0x83, 2048, 8192}, {0x83, 10240, 10240}});
    const std::string b = MbrImage(dir, "b.img", 20480, {{0x83, 2048, 18432}});
    auto r = Cli({"drives", "--image", b, "--image", a, "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const jsonv::Value rows = Json(r.out);
    ASSERT_EQ(rows.items.size(), 3u);
    EXPECT_EQ(rows[0]["device"].str, b);
    EXPECT_EQ(rows[1]["device"].str, a);
    EXPECT_EQ(rows[2]["device"].str, a);
    EXPECT_EQ(rows[2]["partno"].num, 2);
    EXPECT_NE(rows[0]["disk"].num, rows[1]["disk"].num);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(rows[i]["row"].num, i + 1);
}

// What cannot be a disk is refused with its reason; the images that can be
// read are listed all the same.
TEST(CliDrives, ImagesThatCannotBeReadAreReported) {
    testutil::TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const std::string a = MbrImage(dir, "a.img", 20480, {{0x83, 2048, 18432}});
    ASSERT_TRUE(testutil::WriteFileBytes(dir / "note.txt", std::vector<uint8_t>(25, 'x')));
    ASSERT_TRUE(testutil::WriteFileBytes(dir / "empty.img", {}));
    const std::string tooSmall = ": the file holds 25 bytes, less than one sector of 512 bytes, so it cannot be a disk\n";

    auto r = Cli({"drives", "--image", a, "--image", dir / "note.txt", "--image", dir / "missing.img", "--json"});
    EXPECT_EQ(r.status, 1);
    const jsonv::Value rows = Json(r.out);
    ASSERT_EQ(rows.items.size(), 1u);
    EXPECT_EQ(rows[0]["device"].str, a);
    EXPECT_EQ(r.err, "lumivista-cli: cannot open " + dir / "note.txt" + tooSmall + "lumivista-cli: cannot open " +
                         dir / "missing.img" + ": no such file or directory\n");
    r = Cli({"drives", "--image", dir / "empty.img"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("the file holds 0 bytes"), std::string::npos) << r.err;

    // Scanning counts rows: a list without the refused image would move
    // them, so nothing is scanned.
    r = Cli({"scan", "--image", dir / "note.txt", "--image", a, "--drive", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "lumivista-cli: cannot open " + dir / "note.txt" + tooSmall);

    // An image this user may not read.
    ASSERT_EQ(chmod(a.c_str(), 0600), 0);
    std::string asNobody;
    testutil::TempDir state;
    ASSERT_EQ(chmod(state.path().c_str(), 0777), 0);
    if (geteuid() == 0) {
        if (!testutil::HaveTool("setpriv")) GTEST_SKIP() << "no setpriv to run as an ordinary user";
        asNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    } else {
        ASSERT_EQ(chmod(a.c_str(), 0), 0);
    }
    r = Cli({"drives", "--image", a}, asNobody, state.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "lumivista-cli: cannot open " + a + ": permission denied\n");
}

}  // namespace
