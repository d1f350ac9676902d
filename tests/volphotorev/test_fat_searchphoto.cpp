#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "filesystem/fatmount.h"
#include "io/deviceio.h"
#include "io/le.h"
#include "io/log.h"
#include "io/utf.h"
#include "io/partition.h"
#include "io/platform/memory_handle.h"
#include "testutil.h"
#include "volphotorev/fat_searchphoto.h"
#include "photoformats/photoformat.h"
#include "volphotorev/photoitems.h"

using testutil::Capture;
using testutil::HaveTool;
using testutil::PhotosDir;
using testutil::ReadFileBytes;
using testutil::TempDir;
using testutil::ToolsDir;
using testutil::WriteFileBytes;

namespace {

constexpr uint64_t kStart = 2048;  // first sector of the partition in the images
const std::string kMtoolsOffset = "@@1048576";

int Sh(const std::string& command) { return testutil::Run(command); }

// A partition as a sector device over any handle, without the tolerant
// retry, so failed reads show.
class HandleDevice : public IDevice {
public:
    HandleDevice(DevHandle h, uint64_t base) : m_h(std::move(h)), m_base(base) {}
    int Open(const std::string&) override { return 0; }
    void Close() override {}
    uint64_t ReadSectors(uint64_t lba, uint64_t count, void* buffer) override {
        return static_cast<uint64_t>(DeviceReadSectorsEx(m_h.get(), m_base + lba, count, buffer));
    }
    uint64_t WriteSectors(uint64_t, uint64_t, const void*) override { return 0; }

private:
    DevHandle m_h;
    uint64_t m_base;
};

class LogCapture {
public:
    LogCapture() : m_path(m_dir / "test.log") { OpenLogFile(m_path.c_str()); }
    ~LogCapture() { OpenLogFile("/dev/null"); }
    std::string Text() const {
        auto b = ReadFileBytes(m_path);
        return std::string(b.begin(), b.end());
    }
    size_t Count(const std::string& what) const {
        std::string t = Text();
        size_t n = 0;
        for (size_t p = t.find(what); p != std::string::npos; p = t.find(what, p + 1)) ++n;
        return n;
    }

private:
    TempDir m_dir;
    std::string m_path;
};

std::string Narrow(const std::u16string& s) { return Utf16ToUtf8(s); }

struct Event {
    uint32_t code;
    int32_t value;
    void* data;
    std::string name;   // CURRENT_FILE_NAME
    int64_t count = 0;  // INIT_/UPDATE_CURRENT_PROGRESS
};

// Records every event; answers `answer` at the `stopAt`-th event of code
// `stopCode` and after it.
class RecordingSink : public IEventSink {
public:
    int Notify(uint32_t code, int32_t value, void* data, uint32_t reserved) override {
        EXPECT_EQ(reserved, 0u);
        Event e{code, value, data, {}, 0};
        if (code == CURRENT_FILE_NAME) e.name = Narrow(static_cast<const char16_t*>(data));
        if (code == INIT_CURRENT_PROGRESS || code == UPDATE_CURRENT_PROGRESS) e.count = *static_cast<int64_t*>(data);
        events.push_back(e);
        if (code == stopCode && ++m_seen >= stopAt) stopped = true;
        return stopped ? answer : 0;
    }
    std::vector<std::string> Names() const {
        std::vector<std::string> out;
        for (const Event& e : events)
            if (e.code == CURRENT_FILE_NAME) out.push_back(e.name);
        return out;
    }
    int64_t Progress() const {
        int64_t sum = 0;
        for (const Event& e : events)
            if (e.code == UPDATE_CURRENT_PROGRESS) sum += e.count;
        return sum;
    }
    size_t Count(uint32_t code) const {
        return static_cast<size_t>(std::count_if(events.begin(), events.end(), [&](const Event& e) { return e.code == code; }));
    }

    std::vector<Event> events;
    uint32_t stopCode = ~0u;
    int stopAt = 1;
    int answer = -1;
    bool stopped = false;

private:
    int m_seen = 0;
};

int Walk(IPartition* part, FatVolume* vol, IPhotoItmesMgr* store, IEventSink* sink) {
    auto* op = new CFatSearchPhoto(part, vol, store);
    int r = op->Do(sink);
    op->Release();
    return r;
}

// The walk by names; looking inside files whose names name no photo is
// checked end to end (tests/cli).
const PhotoChoice kNamesOnly{(1u << kPhotoCategoryCount) - 1, 0, false};

std::vector<PhotoItem*> Items(CPhotoItemsMgr& store, int32_t category) {
    std::vector<PhotoItem*> out(static_cast<size_t>(store.GetItems(category, 0, 0, nullptr)));
    if (!out.empty()) store.GetItems(category, 0, static_cast<int32_t>(out.size()), out.data());
    return out;
}

std::vector<PhotoItem*> AllItems(CPhotoItemsMgr& store) {
    std::vector<PhotoItem*> all;
    for (int c = 0; c < kPhotoCategoryCount; ++c) {
        auto v = Items(store, c);
        all.insert(all.end(), v.begin(), v.end());
    }
    return all;
}

std::vector<std::string> NamesOf(const std::vector<PhotoItem*>& items) {
    std::vector<std::string> out;
    for (PhotoItem* i : items) out.push_back(Narrow(i->name));
    return out;
}

// The photo's bytes as its runs give them.
std::vector<uint8_t> ReadBack(IDevice& dev, const PhotoItem& item) {
    std::vector<uint8_t> out;
    for (const PhotoRun& r : item.runs) {
        if (r.sectorCount == 0) break;
        std::vector<uint8_t> buf(static_cast<size_t>(r.sectorCount) * 512);
        EXPECT_EQ(dev.ReadSectors(static_cast<uint64_t>(r.volumeSector), static_cast<uint64_t>(r.sectorCount), buf.data()),
                  static_cast<uint64_t>(r.sectorCount));
        size_t at = static_cast<size_t>(r.fileSector) * 512;
        if (out.size() < at + buf.size()) out.resize(at + buf.size());
        std::copy(buf.begin(), buf.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
    }
    if (out.size() > item.size) out.resize(item.size);
    return out;
}

std::vector<int64_t> SectorsOf(const PhotoItem& item) {
    std::vector<int64_t> out;
    for (const PhotoRun& r : item.runs) {
        if (r.sectorCount == 0) break;
        for (int64_t s = 0; s < r.sectorCount; ++s) out.push_back(r.volumeSector + s);
    }
    return out;
}

size_t RunCount(const PhotoItem& item) {
    size_t n = 0;
    while (n < item.runs.size() && item.runs[n].sectorCount != 0) ++n;
    return n;
}

// ---- Oracle: sleuthkit on the same image ----

// Live regular files: path -> metadata address.
std::map<std::string, std::string> FlsLiveFiles(const std::string& image) {
    std::map<std::string, std::string> out;
    std::istringstream in(Capture("fls -r -p -u -F -o " + std::to_string(kStart) + " " + image));
    std::regex line(R"(^r/r (\d+):\t(.*)$)");
    std::smatch m;
    for (std::string s; std::getline(in, s);)
        if (std::regex_match(s, m, line)) out[m[2]] = m[1];
    return out;
}

struct IstatInfo {
    uint64_t size = 0;
    std::vector<int64_t> sectors;  // only the ones the size needs
    int64_t written = 0;           // the entry's write time, seconds since 1970 (UTC clock)
};

// The tests read FAT clocks in UTC, as sleuthkit shows them when TZ is UTC.
const bool kUtc = [] {
    setenv("TZ", "UTC", 1);
    tzset();
    return true;
}();

IstatInfo Istat(const std::string& image, const std::string& inode) {
    std::string text = Capture("istat -o " + std::to_string(kStart) + " " + image + " " + inode);
    IstatInfo info;
    std::smatch m;
    if (std::regex_search(text, m, std::regex(R"(Size: (\d+))"))) info.size = std::stoull(m[1]);
    if (std::regex_search(text, m, std::regex(R"(Written:\t(\d+)-(\d+)-(\d+) (\d+):(\d+):(\d+) \(UTC\))"))) {
        std::tm tm{};
        tm.tm_year = std::stoi(m[1]) - 1900;
        tm.tm_mon = std::stoi(m[2]) - 1;
        tm.tm_mday = std::stoi(m[3]);
        tm.tm_hour = std::stoi(m[4]);
        tm.tm_min = std::stoi(m[5]);
        tm.tm_sec = std::stoi(m[6]);
        info.written = static_cast<int64_t>(timegm(&tm));
    }
    size_t at = text.find("Sectors:");
    if (at != std::string::npos) {
        std::istringstream in(text.substr(at + 8));
        for (int64_t s; in >> s;) info.sectors.push_back(s);
    }
    info.sectors.resize(std::min<size_t>(info.sectors.size(), (info.size + 511) / 512));
    return info;
}

std::string Base(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool ToolsPresent() {
    return HaveTool("mkfs.fat") && HaveTool("mcopy") && HaveTool("sfdisk") && HaveTool("fls") && HaveTool("istat");
}

// Mounts the partition of an image built by tools/mkfatimage.sh.
struct MountedImage {
    std::unique_ptr<HandleDevice> device;
    std::unique_ptr<FatVolume> volume;
    CPartition partition;

    explicit MountedImage(const std::string& image, uint64_t freeSectors = 0) {
        uint64_t len = std::filesystem::file_size(image) / 512 - kStart;
        ParInfor infor;
        infor.Off = kStart;
        infor.Len = len;
        infor.FreeSec = freeSectors;
        infor.Fs = FS_FAT32;
        partition.SetInfor(infor);
        device = std::make_unique<HandleDevice>(DeviceOpenReadOnly(image), kStart);
        volume = MountFatVol(device.get(), static_cast<int64_t>(len));
    }
};

// Byte positions inside an image built by tools/mkfatimage.sh, for
// corrupting it by hand. Holds the volume up to a few MiB into its data area
// (where the tests' folders lie); Save writes only the bytes changed.
struct ImageLayout {
    std::string path;
    std::vector<uint8_t> bytes;
    std::vector<std::pair<size_t, size_t>> changed;  // offset, length
    uint64_t part = kStart * 512;
    uint32_t reserved = 0, fats = 0, sectorsPerFat = 0, spc = 0;

    explicit ImageLayout(const std::string& image) : path(image) {
        std::ifstream f(image, std::ios::binary);
        std::vector<uint8_t> boot(512);
        f.seekg(static_cast<std::streamoff>(part));
        f.read(reinterpret_cast<char*>(boot.data()), 512);
        reserved = le::u16(boot, 14);
        fats = le::u8(boot, 16);
        sectorsPerFat = le::u32(boot, 36);
        spc = le::u8(boot, 13);
        size_t want = ClusterOffset(2) + (size_t{4} << 20);
        bytes.assign(want, 0);
        f.seekg(0);
        f.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(want));
        bytes.resize(static_cast<size_t>(f.gcount()));
    }
    void Put32(size_t off, uint32_t v) {
        le::put32(bytes, off, v);
        changed.emplace_back(off, 4);
    }
    void Put16(size_t off, uint16_t v) {
        le::put16(bytes, off, v);
        changed.emplace_back(off, 2);
    }
    size_t FatEntry(uint32_t cluster) const { return part + uint64_t{reserved} * 512 + uint64_t{cluster} * 4; }
    uint32_t Next(uint32_t cluster) const { return le::u32(bytes, FatEntry(cluster)) & 0x0FFFFFFF; }
    void SetNext(uint32_t cluster, uint32_t v) { Put32(FatEntry(cluster), v); }
    size_t ClusterOffset(uint32_t cluster) const {
        return part + (uint64_t{reserved} + uint64_t{fats} * sectorsPerFat + uint64_t{spc} * (cluster - 2)) * 512;
    }
    // Byte position of the live short entry with this 11-byte name (unique in the tests' images).
    size_t Entry(const char* name11) const {
        for (size_t off = ClusterOffset(2); off + 32 <= bytes.size(); off += 32)
            if (std::memcmp(bytes.data() + off, name11, 11) == 0 && bytes[off + 11] != 0x0F) return off;
        ADD_FAILURE() << "no entry " << name11;
        return 0;
    }
    uint32_t FirstCluster(size_t entry) const {
        return (uint32_t{le::u16(bytes, entry + 20)} << 16) | le::u16(bytes, entry + 26);
    }
    void SetFirstCluster(size_t entry, uint32_t c) {
        Put16(entry + 20, static_cast<uint16_t>(c >> 16));
        Put16(entry + 26, static_cast<uint16_t>(c));
    }
    std::vector<uint32_t> Chain(uint32_t first) const {
        std::vector<uint32_t> out{first};
        while (out.size() < 100000) {
            uint32_t n = Next(out.back());
            if (n >= 0x0FFFFFF8 || n < 2) break;
            out.push_back(n);
        }
        return out;
    }
    bool Save() {
        std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
        for (auto [off, len] : changed) {
            f.seekp(static_cast<std::streamoff>(off));
            f.write(reinterpret_cast<const char*>(bytes.data() + off), static_cast<std::streamsize>(len));
        }
        changed.clear();
        return static_cast<bool>(f);
    }
};

// ---- Short names ----

FatDirEntry Entry(const char* name11) {
    FatDirEntry e{};
    std::memcpy(e.data(), name11, 11);
    return e;
}

TEST(FatShortName, FormsTheEightDotThreeNameInCodePage437) {
    EXPECT_EQ(CFatSearchPhoto::ShortNameToString(Entry("README  TXT")), u"README.TXT");
    EXPECT_EQ(CFatSearchPhoto::ShortNameToString(Entry("        JPG")), u"");
    EXPECT_EQ(CFatSearchPhoto::ShortNameToString(Entry("CAF\x90" "AU~1PNG")), u"CAF\u00C9AU~1.PNG");
    EXPECT_EQ(PhotoFormatOfName("HOLIDA~1.JPE"), nullptr);
}

// ---- Walks over a hand-made volume in memory ----

// 4 sectors per cluster, 32 reserved sectors, one FAT of 8 sectors, 200
// clusters; root directory at cluster 2.
class HandMadeVolume : public ::testing::Test {
protected:
    static constexpr uint32_t kSpc = 4, kReserved = 32, kFatSectors = 8, kClusters = 200;
    static constexpr uint32_t kData = kReserved + kFatSectors;

    void SetUp() override {
        bytes = std::make_shared<std::vector<uint8_t>>((size_t{kData} + size_t{kClusters} * kSpc) * 512, 0);
        auto& b = *bytes;
        le::put16(b, 11, 512);
        b[13] = kSpc;
        le::put16(b, 14, kReserved);
        b[16] = 1;
        le::put32(b, 32, kData + kClusters * kSpc);
        le::put32(b, 36, kFatSectors);
        le::put32(b, 44, 2);
        b[510] = 0x55;
        b[511] = 0xAA;
        SetNext(2, 0x0FFFFFFF);
        partition.SetRange(0, kData + kClusters * kSpc);
    }
    void SetNext(uint32_t cluster, uint32_t v) { le::put32(*bytes, kReserved * 512 + cluster * 4, v); }
    size_t ClusterOffset(uint32_t c) const { return (size_t{kData} + size_t{kSpc} * (c - 2)) * 512; }
    void PutEntry(uint32_t dirCluster, uint32_t index, const char* name11, uint8_t attr, uint32_t first, uint32_t size) {
        size_t off = ClusterOffset(dirCluster) + index * 32;
        std::memcpy(bytes->data() + off, name11, 11);
        (*bytes)[off + 11] = attr;
        le::put16(*bytes, off + 20, static_cast<uint16_t>(first >> 16));
        le::put16(*bytes, off + 26, static_cast<uint16_t>(first));
        le::put32(*bytes, off + 28, size);
    }
    int RunWalk(RecordingSink& sink) {
        handle = new CMemoryHandle(bytes, true);
        handle->SetBadSectors(bad);
        device = std::make_unique<HandleDevice>(DevHandle(handle), 0);
        volume = MountFatVol(device.get(), static_cast<int64_t>(partition.GetLen()));
        if (!volume) return -100;
        return Walk(&partition, volume.get(), &store, &sink);
    }

    std::shared_ptr<std::vector<uint8_t>> bytes;
    std::set<uint64_t> bad;
    CMemoryHandle* handle = nullptr;
    std::unique_ptr<HandleDevice> device;
    std::unique_ptr<FatVolume> volume;
    CPartition partition;
    CPhotoItemsMgr store{kNamesOnly};
};

TEST_F(HandMadeVolume, RunsAreConvertedFromClustersToSectors) {
    // A JPEG of 3 clusters in clusters 100, 101, 105.
    PutEntry(2, 0, "PIC     JPG", 0x20, 100, 3 * kSpc * 512 - 100);
    SetNext(100, 101);
    SetNext(101, 105);
    SetNext(105, 0x0FFFFFF8);
    RecordingSink sink;
    ASSERT_EQ(RunWalk(sink), 0);
    auto jpgs = Items(store, Jpg);
    ASSERT_EQ(jpgs.size(), 1u);
    const PhotoItem& item = *jpgs[0];
    EXPECT_EQ(Narrow(item.name), "PIC.JPG");
    EXPECT_EQ(item.origin, FileSystem);
    EXPECT_EQ(item.size, 3 * kSpc * 512 - 100);
    ASSERT_EQ(item.runs.size(), 3u);
    const int64_t s100 = kData + kSpc * 98, s105 = kData + kSpc * 103;
    EXPECT_EQ(item.runs[0].fileSector, 0);
    EXPECT_EQ(item.runs[0].volumeSector, s100);
    EXPECT_EQ(item.runs[0].sectorCount, 2 * kSpc);
    EXPECT_EQ(item.runs[1].fileSector, 2 * kSpc);
    EXPECT_EQ(item.runs[1].volumeSector, s105);
    EXPECT_EQ(item.runs[1].sectorCount, kSpc);
    EXPECT_EQ(item.runs[2].sectorCount, 0);
    EXPECT_EQ(item.runs[2].volumeSector, -3);
}

TEST_F(HandMadeVolume, RunListInClustersFollowsTheChainUpToTheFileSize) {
    SetNext(10, 11);
    SetNext(11, 12);
    SetNext(12, 20);
    SetNext(20, 0x0FFFFFFF);
    handle = new CMemoryHandle(bytes, true);
    device = std::make_unique<HandleDevice>(DevHandle(handle), 0);
    volume = MountFatVol(device.get(), 0);
    ASSERT_TRUE(volume);
    auto runsOf = [&](uint32_t first, uint32_t n) {
        auto* op = new CFatSearchPhoto(&partition, volume.get(), &store);
        auto runs = op->GetFileRunList(first, n);
        op->Release();
        return runs;
    };
    auto whole = runsOf(10, 4);
    ASSERT_EQ(whole.size(), 3u);
    EXPECT_EQ(whole[0].fileSector, 0);
    EXPECT_EQ(whole[0].volumeSector, 10);
    EXPECT_EQ(whole[0].sectorCount, 3);
    EXPECT_EQ(whole[1].fileSector, 3);
    EXPECT_EQ(whole[1].volumeSector, 20);
    EXPECT_EQ(whole[1].sectorCount, 1);
    EXPECT_EQ(whole[2].fileSector, 4);
    EXPECT_EQ(whole[2].sectorCount, 0);
    // Cut at the size even though the FAT goes on.
    auto cut = runsOf(10, 2);
    ASSERT_EQ(cut.size(), 2u);
    EXPECT_EQ(cut[0].sectorCount, 2);
    EXPECT_EQ(cut[1].fileSector, 2);
    // Ends early at the end mark: fewer clusters than the size needs.
    auto early = runsOf(10, 9);
    ASSERT_EQ(early.size(), 3u);
    EXPECT_EQ(early[2].fileSector, 4);
    // Out-of-range first clusters.
    EXPECT_TRUE(runsOf(1, 1).empty());
    EXPECT_TRUE(runsOf(202, 1).empty());
}

TEST_F(HandMadeVolume, FreeEntryInsideAChainSkipsOnlyLongerFiles) {
    PutEntry(2, 0, "ONE     JPG", 0x20, 30, 100);         // one cluster, FAT entry 0
    PutEntry(2, 1, "TWO     JPG", 0x20, 40, kSpc * 512 + 1);  // two clusters, FAT entry 0
    PutEntry(2, 2, "OK      PNG", 0x20, 50, 10);
    SetNext(50, 0x0FFFFFFF);
    LogCapture log;
    RecordingSink sink;
    ASSERT_EQ(RunWalk(sink), 0);
    EXPECT_EQ(NamesOf(Items(store, Jpg)), std::vector<std::string>{"ONE.JPG"});
    EXPECT_EQ(NamesOf(Items(store, Png)), std::vector<std::string>{"OK.PNG"});
    EXPECT_EQ(log.Count("CFatSearchPhoto::GetFileRunList(): Invalid Cluster Number: 40 \n"), 1u);
    EXPECT_EQ(log.Count("CFatSearchPhoto::StoreLiveFile(): Invalid Fat32 File, Start Sector: 40 \n"), 1u);
    // Progress is still reported for the skipped file, and for nothing of size 0.
    EXPECT_EQ(sink.Progress(), 1 + (kSpc + 1) + 1);
}

TEST_F(HandMadeVolume, UnusedEntryEndsTheDirectoryAndDeletedOnesAreSkipped) {
    // Root over two clusters: 2 -> 3. A deleted photo, a live one, then an
    // unused entry in the middle of cluster 3 hides the rest of it.
    PutEntry(2, 0, "\xE5" "EL     JPG", 0x20, 60, 10);
    PutEntry(2, 1, "LIVE    JPG", 0x20, 61, 10);
    for (uint32_t i = 2; i < kSpc * 16; ++i) PutEntry(2, i, "NOTE    TXT", 0x20, 0, 0);
    SetNext(2, 3);
    SetNext(3, 0x0FFFFFFF);
    PutEntry(3, 0, "SECOND  JPG", 0x20, 62, 10);
    // entry 1 of cluster 3 stays all zero
    PutEntry(3, 2, "HIDDEN  JPG", 0x20, 63, 10);
    for (uint32_t c : {60u, 61u, 62u, 63u}) SetNext(c, 0x0FFFFFFF);
    RecordingSink sink;
    ASSERT_EQ(RunWalk(sink), 0);
    EXPECT_EQ(NamesOf(Items(store, Jpg)), (std::vector<std::string>{"LIVE.JPG", "SECOND.JPG"}));
    auto names = sink.Names();
    EXPECT_EQ(std::count(names.begin(), names.end(), "NOTE.TXT"), static_cast<std::ptrdiff_t>(kSpc * 16 - 2));
    EXPECT_EQ(std::count(names.begin(), names.end(), "HIDDEN.JPG"), 0);
}

TEST_F(HandMadeVolume, BlankNamedFileIsReportedButNotStored) {
    PutEntry(2, 0, "           ", 0x20, 75, 600);
    SetNext(75, 0x0FFFFFFF);
    RecordingSink sink;
    ASSERT_EQ(RunWalk(sink), 0);
    EXPECT_EQ(sink.Names(), std::vector<std::string>{""});
    EXPECT_EQ(sink.Progress(), 2);
    EXPECT_TRUE(AllItems(store).empty());
}

TEST_F(HandMadeVolume, EventFrameAndProgressTotal) {
    PutEntry(2, 0, "A       GIF", 0x20, 70, 700);
    SetNext(70, 0x0FFFFFFF);
    SetNext(71, 0x0FFFFFFF);
    partition.SetFreeSec(100);
    RecordingSink sink;
    ASSERT_EQ(RunWalk(sink), 0);
    ASSERT_EQ(sink.events.size(), 6u);
    EXPECT_EQ(sink.events[0].code, CURRENT_TASK_START);
    EXPECT_EQ(sink.events[0].data, static_cast<void*>(static_cast<IPartition*>(&partition)));
    EXPECT_EQ(sink.events[1].code, INIT_CURRENT_PROGRESS);
    EXPECT_EQ(sink.events[1].count, static_cast<int64_t>(partition.GetLen() - 100));
    EXPECT_EQ(sink.events[2].code, CURRENT_FILE_NAME);
    EXPECT_EQ(sink.events[2].name, "A.GIF");
    EXPECT_EQ(sink.events[3].code, UPDATE_CURRENT_PROGRESS);
    EXPECT_EQ(sink.events[3].count, 2);
    EXPECT_EQ(sink.events[4].code, PHOTO_FOUND);
    EXPECT_EQ(sink.events[4].value, 1);
    EXPECT_EQ(sink.events[5].code, CURRENT_TASK_FINISHED);
}

TEST_F(HandMadeVolume, UnreadableDirectoryClusterFailsTheWalk) {
    PutEntry(2, 0, "FIRST   JPG", 0x20, 80, 10);
    PutEntry(2, 1, "SUB        ", 0x10, 81, 0);
    SetNext(80, 0x0FFFFFFF);
    SetNext(81, 0x0FFFFFFF);
    bad = {kData + kSpc * 79 + 1};
    LogCapture log;
    RecordingSink sink;
    EXPECT_EQ(RunWalk(sink), -1);
    EXPECT_EQ(sink.Count(CURRENT_TASK_FINISHED), 0u);
    EXPECT_EQ(Items(store, Jpg).size(), 1u);  // what was stored stays
    std::string t = log.Text();
    const std::string sector = std::to_string(kData + kSpc * 79);
    EXPECT_NE(t.find("Read Disk Sector Failed, Start Sector: " + sector + ", Sectors: 4 \n "), std::string::npos);
    EXPECT_NE(t.find("Read Cluster From Source FAT32 Partition: 81 \n"), std::string::npos);
    EXPECT_NE(t.find("TraverseFileRecord(): Get SubFiles Failed, Start Cluster: 81 \n"), std::string::npos);
}

// Through the scan's own device an unreadable sector counts as read: the
// root's second cluster, whose first sector cannot be read, ends the
// directory instead of listing the first cluster's entries once more.
TEST_F(HandMadeVolume, UnreadableSectorOfADirectoryReadsAsNoEntries) {
    PutEntry(2, 0, "PIC     JPG", 0x20, 100, 10);
    for (uint32_t i = 1; i < kSpc * 16; ++i) {  // the first cluster full
        std::string name = "F" + std::to_string(100 + i) + "    TXT";
        PutEntry(2, i, name.c_str(), 0x20, 0, 0);
    }
    SetNext(2, 3);
    SetNext(3, 0x0FFFFFFF);
    SetNext(100, 0x0FFFFFFF);
    CMemoryHandle h(bytes, true);
    h.SetBadSectors({kData + kSpc});  // the first sector of cluster 3
    CVolDevice dev(&h, 0);
    volume = MountFatVol(&dev, static_cast<int64_t>(partition.GetLen()));
    ASSERT_TRUE(volume);
    LogCapture log;
    RecordingSink sink;
    EXPECT_EQ(Walk(&partition, volume.get(), &store, &sink), 0);
    EXPECT_EQ(sink.Names().size(), size_t{kSpc} * 16);
    EXPECT_EQ(Items(store, Jpg).size(), 1u);
    EXPECT_EQ(log.Count("Cluster already in use by the walk"), 0u);
}

TEST_F(HandMadeVolume, DirectoryStartingOutOfRangeIsEmpty) {
    PutEntry(2, 0, "SUB        ", 0x10, 5000, 0);
    PutEntry(2, 1, "AFTER   BMP", 0x20, 90, 10);
    SetNext(90, 0x0FFFFFFF);
    LogCapture log;
    RecordingSink sink;
    EXPECT_EQ(RunWalk(sink), 0);
    EXPECT_EQ(Items(store, Bmp).size(), 1u);
    EXPECT_EQ(log.Count("GetSubFileItemsOfDir(): Invalid Cluster Number: 5000 \n"), 1u);
}

// ---- Walks over real volumes made by mkfs.fat and mtools ----

// The card: photos in the root, in DCIM, in MISC and in DCIM/100CANON, a
// photo deleted with mdel, a long name whose short name is no photo, other
// files and an empty one.
class RealCard : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (ToolsPresent()) s_photos = PhotosDir();
    }
    void SetUp() override {
        if (s_photos.empty()) GTEST_SKIP() << "mkfs.fat, mtools, sfdisk, sleuthkit or the photos missing";
    }
    // Where the shared images live, until the process ends.
    static const TempDir& Dir() {
        static TempDir dir;
        return dir;
    }

    // Built on first use: CTest runs every test in a process of its own.
    static const std::string& Card1() {
        static const std::string img = Build(1, 40, "card1.img");
        EXPECT_FALSE(img.empty());
        return img;
    }
    static const std::string& Card4() {
        static const std::string img = Build(4, 160, "card4.img");
        EXPECT_FALSE(img.empty());
        return img;
    }

    static std::string Build(int spc, int mib, const std::string& name) {
        const std::string d = Dir().path(), p = s_photos, img = Dir() / name;
        const std::string i = "-i " + img + kMtoolsOffset + " ";
        std::string cmd = "set -e; cd " + d + "; export MTOOLS_SKIP_CHECK=1; echo hi > readme.txt; printf 'plain' > FOO;"
                          "cp " + p + "/IMG_0104.JPG holiday.jpeg; : > EMPTY.JPG;"
                          "bash " + ToolsDir() + "/mkfatimage.sh -s " + std::to_string(spc) + " " + img + " " +
                          std::to_string(mib) + " " + p + "/IMG_0105.JPG readme.txt FOO holiday.jpeg EMPTY.JPG >/dev/null;"
                          "mmd " + i + "::/DCIM ::/MISC ::/DCIM/100CANON;"
                          "mcopy " + i + p + "/IMG_0101.JPG " + p + "/SCAN0003.PNG " + p + "/ANIM0002.GIF " + p +
                          "/IMG_0103.JPG ::/DCIM/;"
                          "mcopy " + i + p + "/PAINT002.BMP " + p + "/IMG_0104.JPG ::/MISC/;"
                          "mcopy " + i + p + "/IMG_0102.JPG ::/DCIM/100CANON/;"
                          "mdel " + i + "::/DCIM/IMG_0103.JPG";
        return Sh(cmd) == 0 ? img : std::string();
    }
    static std::string Copy(const std::string& image, const TempDir& dir, const std::string& name = "copy.img") {
        std::string copy = dir / name;
        return Sh("cp --sparse=always " + image + " " + copy) == 0 ? copy : std::string();
    }

    static inline std::string s_photos;
};

// The photo files a card's names stand for.
const std::map<std::string, std::string> kCardSources = {{"holiday.jpeg", "IMG_0104.JPG"}};

std::string SourceOf(const std::string& name) {
    auto it = kCardSources.find(name);
    return it == kCardSources.end() ? name : it->second;
}

// Every live photo that sleuthkit lists is found under its (long) name and
// its folder, with its size, sectors and time, and reads back byte for byte.
void CheckAgainstSleuthkit(const std::string& image, const std::string& photos) {
    MountedImage m(image);
    ASSERT_TRUE(m.volume);
    CPhotoItemsMgr store{kNamesOnly};
    RecordingSink sink;
    ASSERT_EQ(Walk(&m.partition, m.volume.get(), &store, &sink), 0);

    auto live = FlsLiveFiles(image);
    ASSERT_TRUE(live.count("holiday.jpeg"));  // the long name sleuthkit shows
    std::map<std::string, std::string> expected;  // path -> inode
    for (const auto& [path, inode] : live)
        if (PhotoFormatOfName(Base(path)) && Istat(image, inode).size > 0) expected[path] = inode;
    ASSERT_EQ(expected.size(), 8u);

    std::set<std::string> found;
    for (PhotoItem* item : AllItems(store)) {
        if (item->origin != FileSystem) continue;
        const std::string name = Narrow(item->name);
        const std::string path = item->folder.empty() ? name : Narrow(item->folder) + "/" + name;
        EXPECT_TRUE(found.insert(path).second) << path << " stored twice";
        ASSERT_TRUE(expected.count(path)) << path << " is no live photo";
        IstatInfo oracle = Istat(image, expected[path]);
        EXPECT_EQ(item->size, oracle.size) << path;
        EXPECT_EQ(item->mtime, oracle.written) << path;
        auto sectors = SectorsOf(*item);
        ASSERT_GE(sectors.size(), oracle.sectors.size()) << path;
        sectors.resize(oracle.sectors.size());
        EXPECT_EQ(sectors, oracle.sectors) << path;
        EXPECT_EQ(item->runs.back().sectorCount, 0);
        EXPECT_EQ(item->runs.back().volumeSector, -3);
        EXPECT_EQ(ReadBack(*m.device, *item), ReadFileBytes(photos + "/" + SourceOf(name))) << path;
    }
    EXPECT_EQ(found.size(), expected.size());
}

TEST_F(RealCard, LivePhotosAgreeWithSleuthkit) { CheckAgainstSleuthkit(Card1(), s_photos); }

TEST_F(RealCard, LivePhotosAgreeWithSleuthkitWithFourSectorClusters) { CheckAgainstSleuthkit(Card4(), s_photos); }

TEST_F(RealCard, DirectoriesAreWalkedBreadthFirst) {
    MountedImage m(Card1(), 5000);
    ASSERT_TRUE(m.volume);
    CPhotoItemsMgr store{kNamesOnly};
    RecordingSink sink;
    LogCapture log;
    ASSERT_EQ(Walk(&m.partition, m.volume.get(), &store, &sink), 0);
    // Long names where there are ("readme.txt" has none: mtools keeps its
    // case in the entry's case flags); deleted entries come in their place.
    const std::vector<std::string> names = {
        "IMG_0105.JPG", "readme.txt", "FOO", "holiday.jpeg", "EMPTY.JPG", "DCIM", "MISC",  // root
        ".", "..", "100CANON", "IMG_0101.JPG", "SCAN0003.PNG", "ANIM0002.GIF",            // DCIM
        "IMG_0103.JPG",                                                                   //   deleted
        ".", "..", "PAINT002.BMP", "IMG_0104.JPG",                                        // MISC
        ".", "..", "IMG_0102.JPG"};                                                       // DCIM/100CANON
    EXPECT_EQ(sink.Names(), names);
    EXPECT_EQ(NamesOf(Items(store, Jpg)), (std::vector<std::string>{"IMG_0105.JPG", "holiday.jpeg", "IMG_0101.JPG",
                                                                   "IMG_0103.JPG", "IMG_0104.JPG", "IMG_0102.JPG"}));
    EXPECT_EQ(NamesOf(Items(store, Png)), std::vector<std::string>{"SCAN0003.PNG"});
    EXPECT_EQ(NamesOf(Items(store, Gif)), std::vector<std::string>{"ANIM0002.GIF"});
    EXPECT_EQ(NamesOf(Items(store, Bmp)), std::vector<std::string>{"PAINT002.BMP"});
    EXPECT_EQ(sink.Count(PHOTO_FOUND), 9u);
    EXPECT_EQ(log.Count("CFatSearchPhoto::TraverseFileRecord(): File: holiday.jpeg \n"), 1u);
    EXPECT_EQ(log.Count("CFatSearchPhoto::TraverseFileRecord(): File: IMG_0103.JPG (deleted) \n"), 1u);
    std::map<std::string, std::string> folders;
    for (PhotoItem* item : AllItems(store)) folders[Narrow(item->name)] = Narrow(item->folder);
    EXPECT_EQ(folders["holiday.jpeg"], "");
    EXPECT_EQ(folders["IMG_0103.JPG"], "DCIM");
    EXPECT_EQ(folders["IMG_0104.JPG"], "MISC");
    EXPECT_EQ(folders["IMG_0102.JPG"], "DCIM/100CANON");

    // Progress: every live regular file of non-zero size, in sectors.
    int64_t expected = 0;
    for (const char* f : {"IMG_0105.JPG", "IMG_0101.JPG", "SCAN0003.PNG", "ANIM0002.GIF", "PAINT002.BMP", "IMG_0104.JPG",
                          "IMG_0102.JPG"})
        expected += static_cast<int64_t>((std::filesystem::file_size(s_photos + "/" + f) + 511) / 512);
    expected += 1 /* README.TXT */ + 1 /* FOO */ + static_cast<int64_t>((std::filesystem::file_size(s_photos + "/IMG_0104.JPG") + 511) / 512);
    EXPECT_EQ(sink.Progress(), expected);
    EXPECT_EQ(sink.events[1].count, static_cast<int64_t>(m.partition.GetLen()) - 5000);
    EXPECT_EQ(sink.events.back().code, CURRENT_TASK_FINISHED);
}

TEST_F(RealCard, DeletedPhotoComesBackUnderItsName) {
    // Sleuthkit sees the deleted entry with its first character lost.
    std::string deleted = Capture("fls -r -p -d -o 2048 " + Card1());
    ASSERT_NE(deleted.find("DCIM/_MG_0103.JPG"), std::string::npos) << deleted;
    MountedImage m(Card1());
    ASSERT_TRUE(m.volume);
    CPhotoItemsMgr store{kNamesOnly};
    RecordingSink sink;
    ASSERT_EQ(Walk(&m.partition, m.volume.get(), &store, &sink), 0);
    std::vector<PhotoItem*> back;
    for (PhotoItem* item : AllItems(store))
        if (item->origin == DeletedRecord) back.push_back(item);
    ASSERT_EQ(back.size(), 1u);
    // IMG_0101.JPG beside it gives the lost "I".
    EXPECT_EQ(Narrow(back[0]->name), "IMG_0103.JPG");
    EXPECT_EQ(Narrow(back[0]->folder), "DCIM");
    EXPECT_EQ(ReadBack(*m.device, *back[0]), ReadFileBytes(s_photos + "/IMG_0103.JPG"));
    EXPECT_GT(back[0]->mtime, 0);
}

TEST_F(RealCard, StopRequests) {
    MountedImage m(Card1());
    ASSERT_TRUE(m.volume);
    {   // At the start: nothing else happens.
        CPhotoItemsMgr store{kNamesOnly};
        RecordingSink sink;
        sink.stopCode = CURRENT_TASK_START;
        sink.answer = -7;
        EXPECT_EQ(Walk(&m.partition, m.volume.get(), &store, &sink), -7);
        EXPECT_EQ(sink.events.size(), 1u);
    }
    {   // At the total.
        CPhotoItemsMgr store{kNamesOnly};
        RecordingSink sink;
        sink.stopCode = INIT_CURRENT_PROGRESS;
        LogCapture log;
        EXPECT_EQ(Walk(&m.partition, m.volume.get(), &store, &sink), -1);
        EXPECT_EQ(sink.events.size(), 2u);
        EXPECT_EQ(log.Count("Notify(IEventSink::INIT_CURRENT_PROGRESS) failed, SectorsToCopy: " +
                            std::to_string(m.partition.GetLen()) + "\n"),
                  1u);
    }
    {   // At the third file: the photo stored before stays.
        CPhotoItemsMgr store{kNamesOnly};
        RecordingSink sink;
        sink.stopCode = UPDATE_CURRENT_PROGRESS;
        sink.stopAt = 3;
        sink.answer = -2;
        LogCapture log;
        EXPECT_LT(Walk(&m.partition, m.volume.get(), &store, &sink), 0);
        EXPECT_EQ(NamesOf(AllItems(store)), std::vector<std::string>{"IMG_0105.JPG"});
        EXPECT_EQ(sink.Count(CURRENT_TASK_FINISHED), 0u);
        EXPECT_EQ(sink.events.back().code, UPDATE_CURRENT_PROGRESS);
        EXPECT_EQ(log.Count("TraverseFileRecord(): Deal With File Failed. \n"), 1u);
    }
}

TEST_F(RealCard, FragmentedPhotoReadsBackThroughItsRuns) {
    TempDir dir;
    std::string img = dir / "frag.img";
    std::string i = "-i " + img + kMtoolsOffset + " ";
    // Small files, every other one deleted, then a photo written into the holes.
    std::string cmd = "set -e; cd " + dir.path() + "; export MTOOLS_SKIP_CHECK=1; bash " + ToolsDir() +
                      "/mkfatimage.sh " + img + " 40 >/dev/null; head -c 1024 /dev/urandom > s.bin;"
                      "for n in $(seq 10 29); do cp s.bin F$n.BIN; done; mcopy " + i + "F*.BIN ::/;"
                      "mdel " + i + "$(for n in $(seq 10 2 29); do echo ::/F$n.BIN; done)";
    ASSERT_EQ(Sh(cmd), 0);
    {   // Forget the next-free hint so that allocation starts from the first hole.
        ImageLayout l(img);
        uint32_t fsinfo = le::u16(l.bytes, l.part + 48);
        l.Put32(l.part + uint64_t{fsinfo} * 512 + 492, 0xFFFFFFFF);
        ASSERT_TRUE(l.Save());
    }
    ASSERT_EQ(Sh("export MTOOLS_SKIP_CHECK=1; mcopy " + i + s_photos + "/IMG_0103.JPG ::/"), 0);

    MountedImage m(img);
    ASSERT_TRUE(m.volume);
    CPhotoItemsMgr store{kNamesOnly};
    RecordingSink sink;
    ASSERT_EQ(Walk(&m.partition, m.volume.get(), &store, &sink), 0);
    auto jpgs = Items(store, Jpg);
    ASSERT_EQ(jpgs.size(), 1u);
    EXPECT_GE(RunCount(*jpgs[0]), 5u);
    auto live = FlsLiveFiles(img);
    ASSERT_TRUE(live.count("IMG_0103.JPG"));
    IstatInfo oracle = Istat(img, live["IMG_0103.JPG"]);
    EXPECT_EQ(SectorsOf(*jpgs[0]), oracle.sectors);
    EXPECT_EQ(ReadBack(*m.device, *jpgs[0]), ReadFileBytes(s_photos + "/IMG_0103.JPG"));
}

// ---- Hand-corrupted real volumes: the walk ends, with what it could find ----

TEST_F(RealCard, SubdirectoryPointingToItsParentIsNotWalkedAgain) {
    TempDir dir;
    std::string img = Copy(Card1(), dir);
    ImageLayout l(img);
    uint32_t dcim = l.FirstCluster(l.Entry("DCIM       "));
    l.SetFirstCluster(l.Entry("100CANON   "), dcim);
    ASSERT_TRUE(l.Save());
    MountedImage m(img);
    ASSERT_TRUE(m.volume);
    CPhotoItemsMgr store{kNamesOnly};
    RecordingSink sink;
    LogCapture log;
    EXPECT_EQ(Walk(&m.partition, m.volume.get(), &store, &sink), 0);
    EXPECT_EQ(NamesOf(Items(store, Jpg)), (std::vector<std::string>{"IMG_0105.JPG", "holiday.jpeg", "IMG_0101.JPG",
                                                                   "IMG_0103.JPG", "IMG_0104.JPG"}));
    EXPECT_EQ(AllItems(store).size(), 8u);
    EXPECT_EQ(log.Count("Directory cluster already visited, taken as empty, Start Cluster: " + std::to_string(dcim)), 1u);
}

TEST_F(RealCard, SubdirectoryPointingToTheRootIsNotWalkedAgain) {
    TempDir dir;
    std::string img = Copy(Card1(), dir);
    ImageLayout l(img);
    l.SetFirstCluster(l.Entry("MISC       "), 2);
    ASSERT_TRUE(l.Save());
    MountedImage m(img);
    ASSERT_TRUE(m.volume);
    CPhotoItemsMgr store{kNamesOnly};
    RecordingSink sink;
    EXPECT_EQ(Walk(&m.partition, m.volume.get(), &store, &sink), 0);
    EXPECT_EQ(NamesOf(Items(store, Jpg)), (std::vector<std::string>{"IMG_0105.JPG", "holiday.jpeg", "IMG_0101.JPG",
                                                                   "IMG_0103.JPG", "IMG_0102.JPG"}));
    EXPECT_EQ(Items(store, Bmp).size(), 0u);
}

TEST_F(RealCard, FreeEntryInsideAPhotoChainSkipsThatPhoto) {
    TempDir dir;
    std::string img = Copy(Card1(), dir);
    ImageLayout l(img);
    uint32_t first = l.FirstCluster(l.Entry("IMG_0101JPG"));
    auto chain = l.Chain(first);
    ASSERT_GT(chain.size(), 20u);
    l.SetNext(chain[10], 0);
    ASSERT_TRUE(l.Save());
    MountedImage m(img);
    ASSERT_TRUE(m.volume);
    CPhotoItemsMgr store{kNamesOnly};
    RecordingSink sink;
    LogCapture log;
    EXPECT_EQ(Walk(&m.partition, m.volume.get(), &store, &sink), 0);
    auto names = NamesOf(AllItems(store));
    EXPECT_EQ(std::count(names.begin(), names.end(), "IMG_0101.JPG"), 0);
    EXPECT_EQ(names.size(), 8u);
    EXPECT_EQ(log.Count("Invalid Cluster Number: " + std::to_string(chain[10]) + " \n"), 1u);
    EXPECT_EQ(log.Count("Invalid Fat32 File, Start Sector: " + std::to_string(first) + " \n"), 1u);
}

TEST_F(RealCard, TopBitsOfFatEntriesAreIgnored) {
    TempDir dir;
    std::string img = Copy(Card1(), dir);
    ImageLayout l(img);
    auto chain = l.Chain(l.FirstCluster(l.Entry("IMG_0101JPG")));
    ASSERT_GT(chain.size(), 100u);
    for (size_t k = 0; k < chain.size(); ++k)
        l.SetNext(chain[k], 0xF0000000u | (k + 1 < chain.size() ? chain[k + 1] : 0x0FFFFFFFu));
    auto dirChain = l.Chain(l.FirstCluster(l.Entry("DCIM       ")));
    l.SetNext(dirChain.back(), 0xA0000000u | l.Next(dirChain.back()));
    ASSERT_TRUE(l.Save());
    MountedImage m(img);
    ASSERT_TRUE(m.volume);
    CPhotoItemsMgr store{kNamesOnly};
    RecordingSink sink;
    EXPECT_EQ(Walk(&m.partition, m.volume.get(), &store, &sink), 0);
    auto jpgs = Items(store, Jpg);
    ASSERT_EQ(jpgs.size(), 6u);
    ASSERT_EQ(Narrow(jpgs[2]->name), "IMG_0101.JPG");
    EXPECT_EQ(ReadBack(*m.device, *jpgs[2]), ReadFileBytes(s_photos + "/IMG_0101.JPG"));
}

TEST_F(RealCard, LoopingPhotoChain) {
    TempDir dir;
    std::string img = Copy(Card1(), dir);
    ImageLayout l(img);
    size_t entry = l.Entry("IMG_0105JPG");
    uint32_t first = l.FirstCluster(entry);
    auto chain = l.Chain(first);
    ASSERT_EQ(chain.size(), 9u);
    l.SetNext(chain.back(), first);
    ASSERT_TRUE(l.Save());
    {   // The loop lies past the file's size: the photo is whole.
        MountedImage m(img);
        ASSERT_TRUE(m.volume);
        CPhotoItemsMgr store{kNamesOnly};
        RecordingSink sink;
        EXPECT_EQ(Walk(&m.partition, m.volume.get(), &store, &sink), 0);
        auto jpgs = Items(store, Jpg);
        ASSERT_EQ(jpgs.size(), 6u);
        EXPECT_EQ(Narrow(jpgs[0]->name), "IMG_0105.JPG");
        EXPECT_EQ(ReadBack(*m.device, *jpgs[0]), ReadFileBytes(s_photos + "/IMG_0105.JPG"));
    }
    // A size that needs more clusters than the loop holds: the chain comes
    // back to its start, and the photo is skipped.
    l.Put32(entry + 28, 20 * 512);
    ASSERT_TRUE(l.Save());
    MountedImage m(img);
    ASSERT_TRUE(m.volume);
    CPhotoItemsMgr store{kNamesOnly};
    RecordingSink sink;
    LogCapture log;
    EXPECT_EQ(Walk(&m.partition, m.volume.get(), &store, &sink), 0);
    auto names = NamesOf(AllItems(store));
    EXPECT_EQ(std::count(names.begin(), names.end(), "IMG_0105.JPG"), 0);
    EXPECT_EQ(names.size(), 8u);
    EXPECT_EQ(log.Count("Invalid Fat32 File, Start Sector: " + std::to_string(first) + " \n"), 1u);
}

TEST_F(RealCard, RootClusterOutOfRange) {
    TempDir dir;
    std::string img = Copy(Card1(), dir);
    ImageLayout l(img);
    l.Put32(l.part + 44, 0x0FFFFF00);
    ASSERT_TRUE(l.Save());
    MountedImage m(img);
    ASSERT_TRUE(m.volume);
    CPhotoItemsMgr store{kNamesOnly};
    RecordingSink sink;
    LogCapture log;
    EXPECT_EQ(Walk(&m.partition, m.volume.get(), &store, &sink), 0);
    EXPECT_TRUE(AllItems(store).empty());
    EXPECT_EQ(log.Count("Invalid Cluster Number: "), 1u);
    EXPECT_EQ(log.Count("Invalid Cluster Number: 268435200 \n"), 1u);
    EXPECT_EQ(sink.events.back().code, CURRENT_TASK_FINISHED);
}

// ---- Deleted files of a real card: names, folders, clusters ----

// A card on which photos were deleted in every way a person deletes them:
// with long names and with 8.3 camera names, a whole folder tree
// (mdeltree), a photo that had been written into the holes between live
// files, and two photos whose clusters were partly written over afterwards
// (the head of one, the middle of the other).
class DeletedCard : public RealCard {
protected:
    static const std::string& Card() {
        static const std::string img = [] {
            const std::string d = Dir().path(), p = s_photos, img = Dir() / "deleted.img";
            const std::string i = "-i " + img + kMtoolsOffset + " ";
            // Moves mtools' next-free hint so that the next file lands at a cluster.
            const std::string hint =
                "hint() { local fi; fi=$(od -An -tu2 -j $((1048576 + 48)) -N2 " + img + " | tr -d ' ');"
                " printf \"$(printf '\\\\x%02x\\\\x%02x\\\\x%02x\\\\x%02x' $(($1 & 255)) $((($1 >> 8) & 255)) $((($1 >> 16) & 255)) 0)\""
                " | dd of=" + img + " bs=1 seek=$((1048576 + fi * 512 + 492)) conv=notrunc status=none; };"
                "first() { mshowfat " + i + " \"$1\" | sed 's/.*<\\([0-9]*\\).*/\\1/'; };";
            std::string cmd =
                "set -e; cd " + d + "; export MTOOLS_SKIP_CHECK=1 LANG=C.UTF-8; " + hint +
                "mkdir -p del; cd del;"
                "cp " + p + "/IMG_0105.JPG 'beach party.jpeg'; cp " + p + "/IMG_0104.JPG 'Café au lait.png';"
                "cp " + p + "/IMG_0103.JPG 'Old photo.jpg';"
                "for n in 40 41 42 43 44; do cp " + p + "/IMG_0102.JPG IMG_00$n.JPG; done;"
                "cp " + p + "/IMG_0101.JPG 'Colosseum at night.jpg'; cp " + p + "/SCAN0003.PNG FORUM.PNG;"
                "cp " + p + "/ANIM0001.GIF Trevi.gif; cp " + p + "/IMG_0102.JPG Fragmented.jpg;"
                "cp " + p + "/IMG_0101.JPG Reused.jpg; cp " + p + "/IMG_0101.JPG Tail.jpg;"
                "head -c 1024 /dev/urandom > s.bin; for n in $(seq 10 29); do cp s.bin F$n.BIN; done;"
                "head -c 3000 /dev/urandom > NOTE1.TXT; cp NOTE1.TXT NOTE2.TXT;"
                "bash " + ToolsDir() + "/mkfatimage.sh " + img + " 40 'beach party.jpeg' 'Café au lait.png' 'Old photo.jpg' >/dev/null;"
                "mmd " + i + "::/DCIM ::/DCIM/100CANON '::/Trip to Rome' '::/Trip to Rome/Day 2' ::/FRAG ::/MISC ::/NOTES;"
                // Holes between live files, a photo written into them, then deleted.
                "mcopy " + i + "F*.BIN ::/FRAG/; mdel " + i + "$(for n in $(seq 10 2 29); do echo ::/FRAG/F$n.BIN; done);"
                "hint 4294967295; mcopy " + i + "Fragmented.jpg ::/FRAG/; mdel " + i + "::/FRAG/Fragmented.jpg;"
                "mcopy " + i + "IMG_004*.JPG ::/DCIM/100CANON/;"
                "mcopy " + i + "'Colosseum at night.jpg' FORUM.PNG '::/Trip to Rome/';"
                "mcopy " + i + "Trevi.gif '::/Trip to Rome/Day 2/';"
                // Two deleted, then a note written over the first one's head and
                // one over the middle of the other.
                "mcopy " + i + "Reused.jpg Tail.jpg ::/MISC/; fr=$(first ::/MISC/Reused.jpg); ft=$(first ::/MISC/Tail.jpg);"
                "mdel " + i + "::/MISC/Reused.jpg ::/MISC/Tail.jpg;"
                "hint $((fr - 1)); mcopy " + i + "NOTE1.TXT ::/NOTES/; hint $((ft + 99)); mcopy " + i + "NOTE2.TXT ::/NOTES/;"
                "mdel " + i + "::/DCIM/100CANON/IMG_0041.JPG ::/DCIM/100CANON/IMG_0043.JPG '::/Old photo.jpg';"
                "mdeltree " + i + "'::/Trip to Rome'";
            return Sh(cmd) == 0 ? img : std::string();
        }();
        EXPECT_FALSE(img.empty());
        return img;
    }

    // Deleted files sleuthkit lists: path (a lost first character as "_") -> inode.
    static std::map<std::string, std::string> FlsDeleted(const std::string& image) {
        std::map<std::string, std::string> out;
        std::istringstream in(Capture("fls -r -p -d -F -o " + std::to_string(kStart) + " " + image));
        std::regex line(R"(^r/r \* (\d+):\t(.*)$)");
        std::smatch m;
        for (std::string s; std::getline(in, s);)
            if (std::regex_match(s, m, line)) out[m[2]] = m[1];
        return out;
    }

    // Whether the JPEG structure reader can tell where a photo ends: then a
    // photo whose middle was written over no longer passes for whole.
    static bool JpegEndsAreKnown(const std::string& photos) {
        const std::vector<uint8_t> bytes = ReadFileBytes(photos + "/IMG_0105.JPG");
        CMemoryByteSource src(bytes);
        return PhotoFormatOfName("x.jpg")->readStructure(src).verdict != StructureVerdict::Unbounded;
    }
};

TEST_F(DeletedCard, DeletedPhotosComeBackWithNamesFoldersClustersAndTimes) {
    const std::string image = Card();
    MountedImage m(image);
    ASSERT_TRUE(m.volume);
    CPhotoItemsMgr store;
    RecordingSink sink;
    ASSERT_EQ(Walk(&m.partition, m.volume.get(), &store, &sink), 0);
    std::map<std::string, PhotoItem*> deleted, live;
    for (PhotoItem* item : AllItems(store)) {
        const std::string path = item->folder.empty() ? Narrow(item->name)
                                                      : Narrow(item->folder) + "/" + Narrow(item->name);
        EXPECT_EQ((item->origin == DeletedRecord ? deleted : live).count(path), 0u) << path << " twice";
        (item->origin == DeletedRecord ? deleted : live)[path] = item;
    }
    EXPECT_EQ(live.size(), 5u);  // beach party.jpeg, Café au lait.png, IMG_0040/42/44.JPG
    EXPECT_EQ(live.count("Café au lait.png"), 1u);
    EXPECT_EQ(live.count("beach party.jpeg"), 1u);

    // What each deleted photo was, by the name the walk gives it.
    const std::map<std::string, std::string> sources = {
        {"Old photo.jpg", "IMG_0103.JPG"},
        {"DCIM/100CANON/IMG_0041.JPG", "IMG_0102.JPG"},
        {"DCIM/100CANON/IMG_0043.JPG", "IMG_0102.JPG"},
        {"Trip to Rome/Colosseum at night.jpg", "IMG_0101.JPG"},
        {"Trip to Rome/_ORUM.PNG", "SCAN0003.PNG"},  // no name of its folder shares its pattern
        {"Trip to Rome/Day 2/Trevi.gif", "ANIM0001.GIF"},
        {"FRAG/Fragmented.jpg", "IMG_0102.JPG"},
        {"MISC/Tail.jpg", "IMG_0101.JPG"},
    };
    const bool endsKnown = JpegEndsAreKnown(s_photos);
    std::set<std::string> expected;
    for (const auto& [path, source] : sources)
        if (path != "MISC/Tail.jpg" || !endsKnown) expected.insert(path);
    std::set<std::string> got;
    for (const auto& [path, item] : deleted) got.insert(path);
    EXPECT_EQ(got, expected);
    // A photo whose first clusters hold another file now is left to the raw scan.
    EXPECT_EQ(deleted.count("MISC/Reused.jpg"), 0u);

    // Sleuthkit as the oracle: the same entries (with "_" where it cannot
    // tell the first character), sizes, sectors and times.
    size_t compared = 0;
    for (const auto& [tskPath, inode] : FlsDeleted(image)) {
        if (!PhotoFormatOfName(Base(tskPath))) continue;
        PhotoItem* item = nullptr;
        for (const auto& [path, it] : deleted) {
            if (path.size() != tskPath.size()) continue;
            bool same = true;
            for (size_t k = 0; k < path.size() && same; ++k)
                same = path[k] == tskPath[k] || (tskPath[k] == '_' && (k == 0 || tskPath[k - 1] == '/'));
            if (same) item = it;
        }
        if (!item) {
            EXPECT_TRUE(tskPath == "MISC/Reused.jpg" || (tskPath == "MISC/Tail.jpg" && endsKnown) ||
                        tskPath.rfind("$OrphanFiles/", 0) == 0)
                << tskPath << " not found";
            continue;
        }
        ++compared;
        IstatInfo oracle = Istat(image, inode);
        EXPECT_EQ(item->size, oracle.size) << tskPath;
        EXPECT_EQ(item->mtime, oracle.written) << tskPath;
        if (Base(tskPath) != "Tail.jpg") {
            auto sectors = SectorsOf(*item);
            sectors.resize(std::min(sectors.size(), oracle.sectors.size()));
            EXPECT_EQ(sectors, oracle.sectors) << tskPath;
        }
    }
    EXPECT_EQ(compared, expected.size());
    for (const auto& [path, item] : deleted) {
        if (path == "MISC/Tail.jpg") continue;
        ASSERT_EQ(sources.count(path), 1u) << path;
        EXPECT_EQ(ReadBack(*m.device, *item), ReadFileBytes(s_photos + "/" + sources.at(path))) << path;
    }
    // The fragmented one really had fragments, and came back through them.
    ASSERT_EQ(deleted.count("FRAG/Fragmented.jpg"), 1u);
    EXPECT_GE(RunCount(*deleted["FRAG/Fragmented.jpg"]), 5u);
}

TEST_F(DeletedCard, DeletedFoldersPointingAnywhereEndTheWalk) {
    TempDir dir;
    std::string img = Copy(Card(), dir);
    ImageLayout l(img);
    // The deleted folder entries as they lie in the root and in "Trip to Rome".
    auto deletedEntry = [&](const char* name11, size_t from) {
        for (size_t off = from; off + 32 <= l.bytes.size(); off += 32)
            if (l.bytes[off] == 0xE5 && std::memcmp(l.bytes.data() + off + 1, name11 + 1, 10) == 0 &&
                (l.bytes[off + 11] & 0x10))
                return off;
        ADD_FAILURE() << "no deleted folder " << name11;
        return size_t{0};
    };
    const size_t trip = deletedEntry("TRIPTO~1   ", l.ClusterOffset(2));
    const uint32_t tripCluster = l.FirstCluster(trip);
    const size_t day2 = deletedEntry("DAY2~1     ", l.ClusterOffset(tripCluster));
    struct Case {
        size_t entry;
        uint32_t cluster;
        size_t photos;  // deleted photos still found
    } cases[] = {
        {day2, tripCluster, 6},      // the inner folder is its own parent: a loop
        {day2, 2, 6},                // into the live root
        {trip, 0x0FFFFFF0, 4},       // out of range
        {trip, tripCluster + 5, 4},  // a cluster of the photo, not of a folder
        {day2, l.FirstCluster(l.Entry("IMG_0040JPG")), 6},
    };
    for (const Case& c : cases) {
        ImageLayout bad(Copy(Card(), dir, "bad.img"));
        bad.SetFirstCluster(c.entry, c.cluster);
        ASSERT_TRUE(bad.Save());
        MountedImage m(bad.path);
        ASSERT_TRUE(m.volume);
        CPhotoItemsMgr store;
        RecordingSink sink;
        EXPECT_EQ(Walk(&m.partition, m.volume.get(), &store, &sink), 0);
        size_t back = 0;
        for (PhotoItem* item : AllItems(store)) back += item->origin == DeletedRecord;
        const size_t tail = JpegEndsAreKnown(s_photos) ? 0 : 1;
        EXPECT_EQ(back, c.photos + tail) << c.cluster;
        EXPECT_EQ(sink.events.back().code, CURRENT_TASK_FINISHED);
    }
}

// A folder of 46 photos: with "." and ".." its directory fills exactly
// three clusters, so its chain is followed to the end.
class RealBigFolder : public RealCard {
protected:
    static constexpr int kFiles = 46;
    static const std::string& Big() {
        static const std::string img = [] {
            std::string path = Dir() / "big.img";
            std::string i = "-i " + path + kMtoolsOffset + " ";
            std::string cmd = "set -e; cd " + Dir().path() + "; export MTOOLS_SKIP_CHECK=1; mkdir big;"
                              "for n in $(seq 10 " + std::to_string(9 + kFiles) + "); do cp " + s_photos +
                              "/IMG_0105.JPG big/F$n.JPG; done;"
                              "bash " + ToolsDir() + "/mkfatimage.sh " + path + " 40 " + s_photos +
                              "/IMG_0104.JPG >/dev/null;"
                              "mmd " + i + "::/BIG; mcopy " + i + "big/*.JPG ::/BIG/";
            return Sh(cmd) == 0 ? path : std::string();
        }();
        EXPECT_FALSE(img.empty());
        return img;
    }
};

TEST_F(RealBigFolder, LoopingDirectoryChainEndsTheFolder) {
    TempDir dir;
    for (int to : {0, 1}) {  // back to its first cluster, or to its second
        std::string bad = Copy(Big(), dir, "loop" + std::to_string(to) + ".img");
        ImageLayout l(bad);
        uint32_t big = l.FirstCluster(l.Entry("BIG        "));
        auto chain = l.Chain(big);
        ASSERT_EQ(chain.size(), 3u);
        l.SetNext(chain.back(), chain[static_cast<size_t>(to)]);
        ASSERT_TRUE(l.Save());
        MountedImage m(bad);
        ASSERT_TRUE(m.volume);
        CPhotoItemsMgr store{kNamesOnly};
        RecordingSink sink;
        LogCapture log;
        EXPECT_EQ(Walk(&m.partition, m.volume.get(), &store, &sink), 0);
        auto names = NamesOf(Items(store, Jpg));
        EXPECT_EQ(names.size(), 1u + kFiles);
        EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size());
        EXPECT_EQ(log.Count("Directory chain loops back, Start Cluster: " + std::to_string(big)), 1u);
    }
}

TEST_F(RealBigFolder, FreeEntryInsideADirectoryChainFailsTheWalk) {
    TempDir dir;
    std::string img = Copy(Big(), dir);
    ImageLayout l(img);
    uint32_t big = l.FirstCluster(l.Entry("BIG        "));
    auto chain = l.Chain(big);
    ASSERT_EQ(chain.size(), 3u);
    l.SetNext(chain[0], 0);
    ASSERT_TRUE(l.Save());
    MountedImage m(img);
    ASSERT_TRUE(m.volume);
    CPhotoItemsMgr store{kNamesOnly};
    RecordingSink sink;
    LogCapture log;
    EXPECT_EQ(Walk(&m.partition, m.volume.get(), &store, &sink), -1);
    EXPECT_EQ(NamesOf(Items(store, Jpg)), std::vector<std::string>{"IMG_0104.JPG"});  // the root's, found first
    EXPECT_EQ(log.Count("GetSubFileItemsOfDir(): Invalid Cluster Number: 0 \n"), 1u);
    EXPECT_EQ(log.Count("Get SubFiles Failed, Start Cluster: " + std::to_string(big) + " \n"), 1u);
    EXPECT_EQ(sink.Count(CURRENT_TASK_FINISHED), 0u);
}

// ---- FAT16 and FAT12 cards ----

// Cards as mkfs.fat -F 16 / -F 12 and mtools make them: photos in the fixed
// root folder and in folders, long names, then deleted ones: two in the root
// (one with a long name), one in a folder, and a folder tree deleted whole.
struct NarrowCase {
    const char* name;
    int bits, spc, mib;
};

class NarrowFatCard : public RealCard, public ::testing::WithParamInterface<NarrowCase> {
protected:
    std::string Build() const {
        const NarrowCase& c = GetParam();
        const std::string d = Dir().path(), p = s_photos, img = Dir() / (std::string(c.name) + ".img");
        const std::string i = "-i " + img + kMtoolsOffset + " ";
        const std::string cmd =
            "set -e; cd " + d + "; export MTOOLS_SKIP_CHECK=1 LANG=C.UTF-8; rm -rf n; mkdir n; cd n;"
            "cp " + p + "/IMG_0105.JPG 'Beach party.jpeg'; cp " + p + "/IMG_0103.JPG 'Old photo.jpg';"
            "cp " + p + "/IMG_0104.JPG 'Colosseum at night.jpg'; cp " + p + "/SCAN0003.PNG FORUM.PNG;"
            "bash " + ToolsDir() + "/mkfatimage.sh -F " + std::to_string(c.bits) + " -s " + std::to_string(c.spc) +
            " " + img + " " + std::to_string(c.mib) + " 'Beach party.jpeg' " + p + "/IMG_0101.JPG " + p +
            "/ANIM0002.GIF 'Old photo.jpg' >/dev/null;"
            "mmd " + i + "::/DCIM ::/DCIM/100CANON '::/Trip to Rome';"
            "mcopy " + i + p + "/IMG_0102.JPG " + p + "/IMG_0103.JPG " + p + "/PAINT002.BMP ::/DCIM/100CANON/;"
            "mcopy " + i + "'Colosseum at night.jpg' FORUM.PNG '::/Trip to Rome/';"
            "mdel " + i + "::/ANIM0002.GIF '::/Old photo.jpg' ::/DCIM/100CANON/IMG_0103.JPG;"
            "mdeltree " + i + "'::/Trip to Rome'";
        return Sh(cmd) == 0 ? img : std::string();
    }
};

// The walk lists what sleuthkit lists, live and deleted, under the same
// names and folders (a deleted 8.3 name's lost first character is "_" to
// sleuthkit), and every photo reads back byte for byte.
TEST_P(NarrowFatCard, LiveAndDeletedPhotosAgreeWithSleuthkit) {
    const std::string image = Build();
    ASSERT_FALSE(image.empty());
    ASSERT_NE(Capture("fsstat -o 2048 " + image).find("File System Type: FAT" + std::to_string(GetParam().bits)),
              std::string::npos);
    MountedImage m(image);
    ASSERT_TRUE(m.volume);
    ASSERT_EQ(m.volume->fat->entryBits(), static_cast<uint32_t>(GetParam().bits));
    CPhotoItemsMgr store;
    RecordingSink sink;
    ASSERT_EQ(Walk(&m.partition, m.volume.get(), &store, &sink), 0);
    std::map<std::string, PhotoItem*> live, deleted;
    for (PhotoItem* item : AllItems(store)) {
        const std::string path = item->folder.empty() ? Narrow(item->name) : Narrow(item->folder) + "/" + Narrow(item->name);
        auto& into = item->origin == DeletedRecord ? deleted : live;
        EXPECT_TRUE(into.emplace(path, item).second) << path << " twice";
    }

    // Live: fls -r.
    std::set<std::string> expectLive, gotLive;
    for (const auto& [path, inode] : FlsLiveFiles(image))
        if (PhotoFormatOfName(Base(path))) expectLive.insert(path);
    for (const auto& [path, item] : live) gotLive.insert(path);
    EXPECT_EQ(gotLive, expectLive);
    EXPECT_EQ(gotLive.size(), 4u);

    // Deleted: fls -rd, its "_" standing for any first character.
    auto sameName = [](const std::string& tsk, const std::string& ours) {
        if (tsk.size() != ours.size()) return false;
        for (size_t k = 0; k < tsk.size(); ++k)
            if (tsk[k] != ours[k] && !(tsk[k] == '_' && (k == 0 || tsk[k - 1] == '/'))) return false;
        return true;
    };
    std::set<std::string> expectDeleted, gotDeleted;
    std::istringstream in(Capture("fls -r -p -d -F -o 2048 " + image));
    const std::regex line(R"(^r/r \* \d+:\t(.*)$)");
    std::smatch mt;
    for (std::string s; std::getline(in, s);)
        if (std::regex_match(s, mt, line) && PhotoFormatOfName(Base(mt[1])) && mt[1].str().rfind("$OrphanFiles/", 0) != 0)
            expectDeleted.insert(mt[1]);
    for (const auto& [path, item] : deleted) {
        std::string shown = path;
        for (const std::string& t : expectDeleted)
            if (sameName(t, path)) shown = t;
        gotDeleted.insert(shown);
    }
    EXPECT_EQ(gotDeleted, expectDeleted);
    EXPECT_EQ(deleted.size(), 5u);

    const std::map<std::string, std::string> sources = {
        {"Beach party.jpeg", "IMG_0105.JPG"},
        {"IMG_0101.JPG", "IMG_0101.JPG"},
        {"DCIM/100CANON/IMG_0102.JPG", "IMG_0102.JPG"},
        {"DCIM/100CANON/PAINT002.BMP", "PAINT002.BMP"},
        {"_NIM0002.GIF", "ANIM0002.GIF"},  // no name of the root shares its pattern
        {"Old photo.jpg", "IMG_0103.JPG"},
        {"DCIM/100CANON/IMG_0103.JPG", "IMG_0103.JPG"},
        {"Trip to Rome/Colosseum at night.jpg", "IMG_0104.JPG"},
        {"Trip to Rome/_ORUM.PNG", "SCAN0003.PNG"},
    };
    for (const auto* photos : {&live, &deleted})
        for (const auto& [path, item] : *photos) {
            ASSERT_EQ(sources.count(path), 1u) << path;
            EXPECT_EQ(ReadBack(*m.device, *item), ReadFileBytes(s_photos + "/" + sources.at(path))) << path;
        }

    // A folder entry naming cluster 0 is an empty folder, never the root again.
    TempDir dir;
    const std::string bad = Copy(image, dir);
    std::fstream f(bad, std::ios::binary | std::ios::in | std::ios::out);
    std::vector<uint8_t> boot(512);
    f.seekg(static_cast<std::streamoff>(kStart * 512));
    f.read(reinterpret_cast<char*>(boot.data()), 512);
    const uint64_t root = kStart * 512 + (uint64_t{le::u16(boot, 14)} + uint64_t{le::u8(boot, 16)} * le::u16(boot, 22)) * 512;
    std::vector<uint8_t> entries(size_t{le::u16(boot, 17)} * 32);
    f.seekg(static_cast<std::streamoff>(root));
    f.read(reinterpret_cast<char*>(entries.data()), static_cast<std::streamsize>(entries.size()));
    size_t dcim = entries.size();
    for (size_t off = 0; off + 32 <= entries.size(); off += 32)
        if (std::memcmp(entries.data() + off, "DCIM       ", 11) == 0) dcim = off;
    ASSERT_LT(dcim, entries.size());
    f.seekp(static_cast<std::streamoff>(root + dcim + 26));
    f.write("\0\0", 2);
    f.close();
    MountedImage mb(bad);
    ASSERT_TRUE(mb.volume);
    CPhotoItemsMgr badStore;
    RecordingSink badSink;
    EXPECT_EQ(Walk(&mb.partition, mb.volume.get(), &badStore, &badSink), 0);
    std::multiset<std::string> badNames;
    for (PhotoItem* item : AllItems(badStore)) badNames.insert(Narrow(item->folder) + "/" + Narrow(item->name));
    EXPECT_EQ(badNames.size(), 6u);  // the root's and Rome's; DCIM's gone, nothing twice
    EXPECT_EQ(std::set<std::string>(badNames.begin(), badNames.end()).size(), badNames.size());
}

INSTANTIATE_TEST_SUITE_P(Widths, NarrowFatCard,
                         ::testing::Values(NarrowCase{"Fat16", 16, 1, 24}, NarrowCase{"Fat12", 12, 2, 4}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
