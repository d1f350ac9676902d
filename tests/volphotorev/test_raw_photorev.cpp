#include "volphotorev/raw_photorev.h"

#include <gtest/gtest.h>

#include <map>

#include "io/deviceio.h"
#include "../io/log_capture.h"
#include "photoformats/readers.h"
#include "../photoformats/sample_sources.h"
#include "scan_fixture.h"
#include "testutil.h"
#include "volphotorev/photoparser.h"

using namespace scantest;

namespace {

constexpr int64_t B = CRawScanPhoto::kBlockSectors;

std::vector<std::pair<int64_t, int64_t>> Spans(const std::vector<Found>& found) {
    std::vector<std::pair<int64_t, int64_t>> s;
    for (auto& f : found) s.emplace_back(f.first, f.sectors);
    return s;
}

// Reads a stored photo back through its run list, as the task manager does:
// whole sectors, of which the photo is the first `size` bytes, and its last
// sector is the one that holds its last byte.
std::vector<uint8_t> ReadBack(CDisk& disk, IPartition& part, const PhotoItem& item) {
    std::vector<uint8_t> out((item.size + 511) / 512 * 512);
    for (const PhotoRun& r : item.runs) {
        if (r.sectorCount == 0) break;
        EXPECT_EQ(static_cast<size_t>((r.fileSector + r.sectorCount) * 512), out.size());
        if (static_cast<size_t>((r.fileSector + r.sectorCount) * 512) > out.size()) return {};
        DeviceReadSectorsTolerant(disk.GetHandle(), part.GetOff() + static_cast<uint64_t>(r.volumeSector),
                                  static_cast<uint64_t>(r.sectorCount), out.data() + r.fileSector * 512);
    }
    out.resize(item.size);
    return out;
}

}  // namespace

TEST(RawScanPhoto, CutsPhotosAtTheNextHeaderOtherFileOrLengthCap) {
    MemoryPartition d(40000);
    d.Put(10, kJpg);       // 10: JPEG, cut 100 sectors later by the next JPEG
    d.Put(110, kJpg);      // 110: JPEG with a bitmap header in its data at 300
    d.Put(200, "BM\x36");  // two letters and no bitmap header: neither starts nor ends anything
    d.Put(300, kBmp);      // 300: BMP, ended by an executable at 350
    d.Put(350, "MZ\x90");  // starts nothing
    d.Put(400, "PK\x03\x04");  // nothing open: ignored
    d.Put(1000, kJpg);     // runs on through 30000 empty sectors: cut at 0x5000
    RecordingSink sink;
    ASSERT_EQ(d.Scan(sink), 0);

    auto found = AllItems(d.items);
    std::vector<std::pair<int64_t, int64_t>> want{{10, 100}, {110, 190}, {300, 50}, {1000, 0x5000}};
    EXPECT_EQ(Spans(found), want);
    ASSERT_EQ(found.size(), 4u);
    EXPECT_EQ(found[1].category, Jpg);
    EXPECT_EQ(found[2].category, Bmp);
    const PhotoItem& big = *found[3].item;
    EXPECT_EQ(big.size, 10485760u);
    EXPECT_EQ(big.origin, RawScan);
    ASSERT_EQ(big.runs.size(), 2u);
    EXPECT_EQ(big.runs[0].fileSector, 0);
    EXPECT_EQ(big.runs[1].fileSector, 0x5000);
    EXPECT_EQ(big.runs[1].volumeSector, -3);
    EXPECT_EQ(big.runs[1].sectorCount, 0);
    EXPECT_EQ(sink.Count(PHOTO_FOUND), 4u);
    for (auto& e : sink.events)
        if (e.code == PHOTO_FOUND) {
            EXPECT_EQ(e.value, 1);
        }
}

TEST(RawScanPhoto, EveryKindOfOtherFileEndsACandidate) {
    const std::vector<std::string> others{
        "MZ", std::string("PK\x03\x04", 4), "PK00", "Rar!", "{\\rtf1", "<?xml", "<HTML>", "<html>",
        "<!DOCTYPE html", "<!doctype html", "<!-- c", std::string("Delivery-date:\0", 15), "\xCF\xAD\x12\xFE",
        "!BDN", std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8), "_Types].xml", "Standard Jet",
        "%PDF-1.5", std::string("ITSF\x03\x00\x00\x00", 8)};
    MemoryPartition d(static_cast<int64_t>(others.size()) * 10 + 10);
    std::vector<std::pair<int64_t, int64_t>> want;
    for (size_t k = 0; k < others.size(); ++k) {
        int64_t s = static_cast<int64_t>(k) * 10;
        d.Put(s, kGif);
        d.Put(s + 5, others[k]);
        want.emplace_back(s, 5);
    }
    RecordingSink sink;
    ASSERT_EQ(d.Scan(sink), 0);
    EXPECT_EQ(Spans(AllItems(d.items)), want);
}

TEST(RawScanPhoto, UsedSectorsEndCandidatesAndHideSignatures) {
    MemoryPartition d(5000);
    d.Put(100, kJpg);
    d.map.SetUsed(150, 1);  // the JPEG's free area ends at 149
    d.Put(200, kPng);
    d.map.SetUsed(260, 40);
    d.Put(270, kGif);       // inside used sectors: never looked at
    d.Put(4990, kGif);      // open when its free area ends ...
    d.map.SetUsed(4995, 5);  // ... with used sectors up to the partition's end
    RecordingSink sink;
    ASSERT_EQ(d.Scan(sink), 0);
    std::vector<std::pair<int64_t, int64_t>> want{{100, 50}, {200, 60}, {4990, 5}};
    EXPECT_EQ(Spans(AllItems(d.items)), want);
}

TEST(RawScanPhoto, CandidateOpenAtThePartitionsEndIsStored) {
    MemoryPartition d(3000, 100, 3200);  // the disk goes on after the partition
    d.Put(2900, kBmp);
    d.Put(3000, "MZ");  // first sector after the partition: not read as part of it
    RecordingSink sink;
    ASSERT_EQ(d.Scan(sink), 0);
    std::vector<std::pair<int64_t, int64_t>> want{{2900, 100}};
    EXPECT_EQ(Spans(AllItems(d.items)), want);
}

TEST(RawScanPhoto, PhotoAcrossTwoReadRunsIsOneItem) {
    MemoryPartition d(3 * B);
    d.Put(B - 10, kPng);  // spans the cut between the first and second run
    d.Put(2 * B + 5, kJpg);
    d.map.SetUsed(2 * B + 50, 1);
    RecordingSink sink;
    ASSERT_EQ(d.Scan(sink), 0);
    std::vector<std::pair<int64_t, int64_t>> want{{B - 10, B + 15}, {2 * B + 5, 45}};
    EXPECT_EQ(Spans(AllItems(d.items)), want);
    // One read per run: [0, B), [B, 2B), [2B, 2B + 50), [2B + 51, 3B).
    EXPECT_EQ(d.handle->ReadCalls(), 4u);
}

TEST(RawScanPhoto, NamesRunInDiskOrderAcrossCategories) {
    MemoryPartition d(2000);
    d.Put(900, kBmp);
    d.Put(10, kJpg);
    d.Put(300, kGif);
    d.Put(500, kPng);
    d.Put(1999, kJpg);
    RecordingSink sink;
    ASSERT_EQ(d.Scan(sink), 0);
    auto found = AllItems(d.items);
    std::vector<std::string> names;
    for (auto& f : found) names.push_back(f.name);
    std::vector<std::string> want{"0000000001.jpg", "0000000002.gif", "0000000003.png", "0000000004.bmp",
                                  "0000000005.jpg"};
    EXPECT_EQ(names, want);
    EXPECT_EQ(found[4].sectors, 1);  // the partition's last sector
    EXPECT_EQ(d.items.GetItems(Jpg, 0, 0, nullptr), 2);
    EXPECT_EQ(d.items.GetItems(Gif, 0, 0, nullptr), 1);
}

// Photos of a type not chosen, or too small, are followed all the same:
// they end the photo before them and keep their numbers, but are neither
// stored nor counted as found.
TEST(RawScanPhoto, TypesLeftOutStillEndTheOthers) {
    const struct {
        uint32_t categories;
        uint64_t minSize;
        std::vector<std::string> names;
        std::vector<std::pair<int64_t, int64_t>> spans;
    } cases[] = {
        {1u << Jpg, 0, {"0000000001.jpg", "0000000005.jpg"}, {{10, 290}, {1999, 1}}},
        {(1u << Png) | (1u << Bmp), 0, {"0000000003.png", "0000000004.bmp"}, {{500, 400}, {900, 1099}}},
        {~0u, 300 * 512, {"0000000003.png", "0000000004.bmp"}, {{500, 400}, {900, 1099}}},
        {0, 0, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.categories);
        MemoryPartition d(2000);
        PhotoChoice choice;
        choice.categories = c.categories;
        choice.minSize = c.minSize;
        d.items = CPhotoItemsMgr(choice);
        d.Put(900, kBmp);
        d.Put(10, kJpg);
        d.Put(300, kGif);
        d.Put(500, kPng);
        d.Put(1999, kJpg);
        RecordingSink sink;
        ASSERT_EQ(d.Scan(sink), 0);
        auto found = AllItems(d.items);
        std::vector<std::string> names;
        for (auto& f : found) names.push_back(f.name);
        EXPECT_EQ(names, c.names);
        EXPECT_EQ(Spans(found), c.spans);
        EXPECT_EQ(sink.Count(PHOTO_FOUND), c.names.size());
    }
}

TEST(RawScanPhoto, ProgressEvery20480SectorsOfTheMap) {
    {
        MemoryPartition d(40960);
        RecordingSink sink;
        ASSERT_EQ(d.Scan(sink), 0);
        EXPECT_EQ(sink.Progress(), (std::vector<int64_t>{20480, 0}));
        ASSERT_GE(sink.events.size(), 2u);
        EXPECT_EQ(sink.events[1].code, INIT_CURRENT_PROGRESS);
        EXPECT_EQ(sink.events[1].count, 40960);
    }
    {
        MemoryPartition d(50001);
        RecordingSink sink;
        ASSERT_EQ(d.Scan(sink), 0);
        EXPECT_EQ(sink.Progress(), (std::vector<int64_t>{20480, 20480, 9041}));
    }
}

TEST(RawScanPhoto, AllUsedMapReadsNothing) {
    MemoryPartition d(30000);
    d.Put(5, kJpg);
    d.map.SetUsed(0, 30000);
    RecordingSink sink;
    ASSERT_EQ(d.Scan(sink), 0);
    EXPECT_EQ(d.handle->ReadCalls(), 0u);
    EXPECT_EQ(AllItems(d.items).size(), 0u);
    EXPECT_EQ(sink.Codes(), (std::vector<uint32_t>{CURRENT_TASK_START, INIT_CURRENT_PROGRESS, UPDATE_CURRENT_PROGRESS,
                                                    UPDATE_CURRENT_PROGRESS, CURRENT_TASK_FINISHED}));
}

TEST(RawScanPhoto, NoBufferFailsBeforeAnyRead) {
    MemoryPartition d(1000);
    d.Put(0, kJpg);
    RecordingSink sink;
    EXPECT_EQ(d.Scan(sink, [](size_t) { return CRawScanPhoto::ScanBuffer(); }), -1);
    EXPECT_EQ(d.handle->ReadCalls(), 0u);
    EXPECT_EQ(AllItems(d.items).size(), 0u);
    EXPECT_EQ(sink.Codes(), std::vector<uint32_t>{CURRENT_TASK_START});
}

// A sector the device cannot read must not show the signature that an earlier
// run left at the same place in the buffer.
TEST(RawScanPhoto, UnreadableSectorStartsNothing) {
    MemoryPartition d(100);
    d.Put(3, kJpg);
    d.map.SetUsed(10, 1);
    d.handle->SetBadSectors({14});  // at the JPEG's place in the next run's buffer
    RecordingSink sink;
    ASSERT_EQ(d.Scan(sink), 0);
    std::vector<std::pair<int64_t, int64_t>> want{{3, 7}};
    EXPECT_EQ(Spans(AllItems(d.items)), want);
}

// Real photos written into the free sectors of an image file, with used
// sectors full of signatures between them: each comes back whole and exact.
TEST(RawScanPhoto, RecoversRealPhotosFromAnImageFile) {
    std::string dir = testutil::PhotosDir();
    if (dir.empty()) GTEST_SKIP() << "no photo fixtures";
    const char* files[] = {"IMG_0001.JPG", "SCAN0003.PNG", "ANIM0002.GIF", "IMG_0101.JPG",
                           "PAINT002.BMP", "SCAN0004.PNG", "IMG_0105.JPG", "IMG_0002.JPG"};
    const int64_t partOff = 2048;
    const int64_t partLen = 80000;
    std::vector<uint8_t> image(static_cast<size_t>((partOff + partLen) * 512));
    CAlloUnitMgr map;
    ASSERT_EQ(map.InitFree(partLen), 0);

    // Used sectors hold signatures that must be ignored.
    auto putUsed = [&](int64_t s, int64_t n) {
        map.SetUsed(s, n);
        for (int64_t i = 0; i < n; ++i) {
            const std::string& sig = (i % 2) ? kJpg : kPng;
            std::copy(sig.begin(), sig.end(), image.begin() + (partOff + s + i) * 512);
        }
    };
    std::map<int64_t, std::pair<std::string, std::vector<uint8_t>>> placed;  // first sector -> photo
    int64_t s = 7;
    int i = 0;
    for (const char* f : files) {
        auto bytes = testutil::ReadFileBytes(dir + "/" + f);
        ASSERT_FALSE(bytes.empty()) << f;
        std::copy(bytes.begin(), bytes.end(), image.begin() + (partOff + s) * 512);
        placed[s] = {f, bytes};
        s += static_cast<int64_t>((bytes.size() + 511) / 512);
        // Every other photo is followed directly by the next one.
        if (i++ % 2 == 0) {
            putUsed(s, 3 + i);
            s += 3 + i;
        }
    }
    ASSERT_LT(s, partLen);
    putUsed(s, 1);  // the free sectors after the last photo start nothing

    testutil::TempDir tmp;
    ASSERT_TRUE(testutil::WriteFileBytes(tmp / "card.img", image));
    CDisk disk;
    disk.m_handle = DeviceOpenReadOnly(tmp / "card.img");
    ASSERT_TRUE(disk.GetHandle());
    CPartition part(&disk);
    part.SetRange(partOff, partLen);
    CPhotoItemsMgr items;
    RecordingSink sink;
    auto* op = new CRawScanPhoto(&part, &map, &items);
    ASSERT_EQ(op->Do(&sink), 0);
    op->Release();

    auto found = AllItems(items);
    ASSERT_EQ(found.size(), placed.size());
    for (auto& f : found) {
        auto it = placed.find(f.first);
        ASSERT_NE(it, placed.end()) << f.name << " at " << f.first;
        const auto& [file, bytes] = it->second;
        EXPECT_EQ(f.category, MatchPhotoFormat(bytes)->category) << file;
        EXPECT_EQ(f.size, bytes.size()) << file;
        EXPECT_EQ(ReadBack(disk, part, *f.item), bytes) << file;
    }
}

// A FAT32 card whose photos were deleted: scanning every sector finds them.
TEST(RawScanPhoto, FindsPhotosDeletedFromAFat32Card) {
    std::string dir = testutil::PhotosDir();
    if (dir.empty()) GTEST_SKIP() << "no photo fixtures";
    for (const char* tool : {"sfdisk", "mkfs.fat", "mcopy", "mdel"})
        if (!testutil::HaveTool(tool)) GTEST_SKIP() << "no " << tool;
    testutil::TempDir tmp;
    std::string img = tmp / "card.img";
    std::string part = img + "@@1048576";
    ASSERT_EQ(testutil::Run("truncate -s 80M " + img + " && echo 'start=2048, type=c' | sfdisk -q " + img +
                            " && mkfs.fat -F 32 -s 1 --offset 2048 " + img + " 80896 >/dev/null" +
                            " && mcopy -i " + part + " " + dir + "/IMG_0002.JPG " + dir + "/SCAN0001.PNG " + dir +
                            "/PAINT001.BMP ::/" + " && mdel -i " + part + " ::/IMG_0002.JPG ::/PAINT001.BMP"),
              0);
    const char* files[] = {"IMG_0002.JPG", "SCAN0001.PNG", "PAINT001.BMP"};

    CDisk disk;
    disk.m_handle = DeviceOpenReadOnly(img);
    ASSERT_TRUE(disk.GetHandle());
    CPartition p(&disk);
    int64_t len = (80 * 1024 * 1024) / 512 - 2048;
    p.SetRange(2048, static_cast<uint64_t>(len));
    CAlloUnitMgr map;
    ASSERT_EQ(map.InitFree(len), 0);
    CPhotoItemsMgr items;
    RecordingSink sink;
    auto* op = new CRawScanPhoto(&p, &map, &items);
    ASSERT_EQ(op->Do(&sink), 0);
    op->Release();

    auto found = AllItems(items);
    for (const char* f : files) {
        auto bytes = testutil::ReadFileBytes(dir + "/" + f);
        bool exact = false;
        for (auto& item : found)
            if (item.size == bytes.size() && ReadBack(disk, p, *item.item) == bytes) exact = true;
        EXPECT_TRUE(exact) << f << " not found whole and exact";
    }
}

namespace {

// Sample photos laid on a memory partition by hand, then scanned.
class Layout {
public:
    explicit Layout(int64_t sectors) : d(sectors) {}
    // Writes a photo at `sector`; answers the sector after it.
    int64_t Put(int64_t sector, const std::vector<uint8_t>& bytes) {
        d.Put(sector, bytes);
        return sector + static_cast<int64_t>((bytes.size() + 511) / 512);
    }
    std::vector<Found> Scan() {
        RecordingSink sink;
        EXPECT_EQ(d.Scan(sink), 0);
        return AllItems(d.items);
    }
    std::vector<uint8_t> Back(const Found& f) { return ReadBack(d.disk, d.part, *f.item); }
    MemoryPartition d;
};

// A sector of `jpeg`'s compressed data (after its first scan header) whose
// first bytes, and the byte before them, are no FF: `text` put there leaves
// the structure as it was.
int64_t QuietDataSector(const std::vector<uint8_t>& jpeg, int64_t from, size_t text) {
    for (int64_t s = from; (s + 1) * 512 < static_cast<int64_t>(jpeg.size()); ++s) {
        bool clear = true;
        for (size_t k = 0; k <= text; ++k) clear = clear && jpeg[static_cast<size_t>(s * 512) - 1 + k] != 0xFF;
        if (clear) return s;
    }
    return -1;
}

}  // namespace

// Inside a whole photo's compressed data, sectors that begin "BM", "MZ",
// "PK" or even a valid PNG header are its own bytes: one photo, exact.
TEST(RawScanPhoto, SignaturesInsideAWholePhotoAreItsData) {
    auto jpeg = readertest::Sample("baseline.jpg");
    if (jpeg.empty()) GTEST_SKIP() << "no format samples";
    ASSERT_GT(jpeg.size(), 60u * 512);
    int64_t at = 10;
    for (const std::string& text : {std::string("BM\x36\x00\x01\x00", 6), std::string("MZ\x90\x00", 4),
                                    std::string("PK\x03\x04", 4), kPng}) {
        at = QuietDataSector(jpeg, at + 5, text.size());
        ASSERT_GT(at, 0);
        std::copy(text.begin(), text.end(), jpeg.begin() + at * 512);
    }
    CMemoryByteSource src(jpeg);
    ASSERT_EQ(ReadJpegStructure(src).verdict, StructureVerdict::Whole) << "the poked bytes keep the structure";

    Layout l(2000);
    l.Put(100, jpeg);
    auto found = l.Scan();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].first, 100);
    EXPECT_EQ(found[0].size, jpeg.size());
    EXPECT_EQ(l.Back(found[0]), jpeg);
}

// Photos of every kind one right after the other, each from the sector after
// the previous one's end: each comes back exact, with nothing between.
TEST(RawScanPhoto, PhotosFollowingEachOtherComeBackExact) {
    if (testutil::FormatSamplesDir().empty()) GTEST_SKIP() << "no format samples";
    const char* names[] = {"exif.jpg", "progressive.jpg", "png16.png", "interlaced.png", "animated.gif",
                           "still.gif", "bmp1.bmp", "bmp4.bmp", "bmp8.bmp", "rle8.bmp", "bmp24.bmp",
                           "bmp32.bmp", "os2.bmp", "restart.jpg", "palette.png"};
    Layout l(8000);
    std::vector<std::pair<int64_t, std::vector<uint8_t>>> placed;
    int64_t s = 3;
    for (const char* name : names) {
        auto bytes = readertest::Sample(name);
        ASSERT_FALSE(bytes.empty()) << name;
        placed.emplace_back(s, bytes);
        s = l.Put(s, bytes);
    }
    ASSERT_LT(s, 8000);
    auto found = l.Scan();
    ASSERT_EQ(found.size(), placed.size());
    for (size_t k = 0; k < found.size(); ++k) {
        SCOPED_TRACE(names[k]);
        EXPECT_EQ(found[k].first, placed[k].first);
        EXPECT_EQ(found[k].size, placed[k].second.size());
        EXPECT_EQ(l.Back(found[k]), placed[k].second);
        EXPECT_EQ(found[k].category, MatchPhotoFormat(placed[k].second)->category);
    }
}

// A JPEG above 10 MiB is not cut at 10 MiB, and its free area reaches past
// the 8 MiB read run: the sectors after the run are read once, by the reader.
TEST(RawScanPhoto, PhotoOverTenMiBComesBackWhole) {
    auto big = readertest::Sample("big.jpg");
    if (big.empty()) GTEST_SKIP() << "no format samples";
    ASSERT_GT(big.size(), 10u << 20);
    Layout l(30000);
    const int64_t end = l.Put(1000, big);
    l.d.Put(end, kGif);  // the next photo follows directly
    auto found = l.Scan();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].size, big.size());
    EXPECT_EQ(l.Back(found[0]), big);
    EXPECT_EQ(found[1].first, end);
    EXPECT_EQ(found[1].category, Gif);
}

// A photo whose tail another file overwrote: its head comes back as far as
// the sector rules take it (to the other file's header), as it always did.
TEST(RawScanPhoto, TailOverwrittenByAZipEndsAtTheZip) {
    auto jpeg = readertest::Sample("exif.jpg");
    auto zip = readertest::Sample("archive.zip");
    if (jpeg.empty() || zip.empty()) GTEST_SKIP() << "no format samples";
    Layout l(3000);
    l.Put(10, jpeg);
    const int64_t zipAt = 10 + 100;
    ASSERT_LT(100 * 512, static_cast<int64_t>(jpeg.size()));
    l.Put(zipAt, zip);
    auto found = l.Scan();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].first, 10);
    EXPECT_EQ(found[0].sectors, 100);
    EXPECT_EQ(found[0].size, 100u * 512);
    auto back = l.Back(found[0]);
    EXPECT_TRUE(std::equal(back.begin(), back.end(), jpeg.begin()));
}

// A bitmap's pixels cannot be checked: a photo whose header begins a sector
// inside them was written over its tail and is found; the bitmap is cut there.
TEST(RawScanPhoto, PhotoWrittenOverABitmapsTailIsFound) {
    auto bmp = readertest::Sample("bmp24.bmp");
    auto gif = readertest::Sample("still.gif");
    if (bmp.empty() || gif.empty()) GTEST_SKIP() << "no format samples";
    Layout l(2000);
    l.Put(50, bmp);
    l.Put(50 + 200, gif);
    auto whole = bmp;  // a second bitmap, untouched, after them
    const int64_t second = 50 + static_cast<int64_t>((bmp.size() + 511) / 512) + 20;
    l.Put(second, whole);
    auto found = l.Scan();
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].first, 50);
    EXPECT_EQ(found[0].size, 200u * 512);
    EXPECT_EQ(found[1].first, 250);
    EXPECT_EQ(l.Back(found[1]), gif);
    EXPECT_EQ(found[2].first, second);
    EXPECT_EQ(l.Back(found[2]), whole);
}

// Two letters at a sector start with noise after them are no bitmap: no
// output. Each verdict other than whole leaves a line in the log.
TEST(RawScanPhoto, SignatureWithoutAValidHeaderStartsNothing) {
    LogCapture log;
    ASSERT_TRUE(log.ok());
    Layout l(200);
    std::vector<uint8_t> noise(512 * 20);
    uint32_t x = 99;
    for (auto& b : noise) b = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 16);
    l.d.Put(10, noise);
    l.d.Put(10, "BM");
    l.d.Put(15, "GIF89b");
    l.d.Put(50, kJpg);
    auto found = l.Scan();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].first, 50);
    const std::string text = log.Text();
    EXPECT_NE(text.find("sector 10: BMP signature without a valid header (BMP info header size unknown): starts nothing"),
              std::string::npos) << text;
    EXPECT_NE(text.find("sector 15: GIF signature without a valid header (no GIF signature)"), std::string::npos) << text;
    EXPECT_NE(text.find("sector 50: JPEG broken at byte 20 (JPEG segment expected, other bytes found): cut by the "
                        "sector rules"), std::string::npos) << text;
}

namespace {

// Keeps every position the scan reports, and its progress.
class PositionSink : public IEventSink {
public:
    int Notify(uint32_t code, int32_t, void* data, uint32_t) override {
        if (code == UPDATE_CURRENT_PROGRESS) progress += *static_cast<int64_t*>(data);
        if (code == RAW_SCAN_POSITION) positions.push_back(*static_cast<const RawScanPosition*>(data));
        if (code == PHOTO_FOUND) ++photos;
        return 0;
    }
    std::vector<RawScanPosition> positions;
    int64_t progress = 0;
    int photos = 0;
};

struct Seen {
    std::string name;
    int category;
    int64_t first, sectors;
    uint32_t size;
    bool operator==(const Seen&) const = default;
};

std::vector<Seen> Scanned(CPhotoItemsMgr& store) {
    std::vector<Seen> out;
    for (const Found& f : AllItems(store)) out.push_back({f.name, f.category, f.first, f.sectors, f.size});
    return out;
}

}  // namespace

// A scan resumed from any point it reported finds exactly the photos the
// uninterrupted scan found from there on, with the same names: whole photos
// across the point, candidates open at it, used sectors, photos of a type
// left out, a candidate open at the partition's end.
TEST(RawScanPhoto, ResumedFromAnyReportedPositionFindsTheSame) {
    auto big = readertest::Sample("big.jpg");
    if (big.empty()) GTEST_SKIP() << "no format samples";
    const int64_t kSectors = 200000;
    MemoryPartition d(kSectors);
    d.Put(1000, big);  // whole, across two reported points
    d.Put(39000, kJpg);  // open across 40960, cut by the used sectors
    d.map.SetUsed(45000, 100);
    int64_t s = 60000;
    for (const char* name : {"exif.jpg", "animated.gif", "png16.png", "bmp24.bmp", "progressive.jpg"}) {
        auto bytes = readertest::Sample(name);
        ASSERT_FALSE(bytes.empty()) << name;
        d.Put(s, bytes);
        s += static_cast<int64_t>((bytes.size() + 511) / 512) + 3;
    }
    d.Put(81900, kGif);   // left out, and cut by the next header
    d.Put(81990, kJpg);   // open across 81920
    d.Put(140000, kPng);  // open over two reported points, cut at its cap
    d.Put(170000, kBmp);
    d.map.SetUsed(180000, 3);
    d.Put(kSectors - 30, kJpg);  // open at the partition's end

    PhotoChoice choice;
    choice.categories = ~(1u << Gif);
    auto run = [&](CPhotoItemsMgr& store, const RawScanPosition* from, PositionSink& sink) {
        auto* op = new CRawScanPhoto(&d.part, &d.map, &store);
        op->ReportPositions(true);
        if (from) op->ResumeFrom(*from);
        const int r = op->Do(&sink);
        op->Release();
        return r;
    };
    CPhotoItemsMgr whole(choice);
    PositionSink all;
    ASSERT_EQ(run(whole, nullptr, all), 0);
    const std::vector<Seen> expected = Scanned(whole);
    ASSERT_GE(expected.size(), 10u);
    ASSERT_GE(all.positions.size(), 9u);
    EXPECT_EQ(all.positions.back().next, kSectors);
    EXPECT_EQ(all.positions.back().photosStored, static_cast<int64_t>(expected.size()));
    EXPECT_EQ(all.positions.back().photosFound, all.positions.back().photosStored + 2);  // the GIFs

    bool heldBack = false, skipping = false;
    for (size_t k = 0; k < all.positions.size(); ++k) {
        const RawScanPosition& p = all.positions[k];
        SCOPED_TRACE(testing::Message() << "position " << k << " at sector " << p.next);
        // Every photo stored before the point starts before it.
        ASSERT_LE(p.photosStored, static_cast<int64_t>(expected.size()));
        for (int64_t i = 0; i < p.photosStored; ++i) EXPECT_LT(expected[static_cast<size_t>(i)].first, p.next);
        heldBack = heldBack || (p.next < 20480 * static_cast<int64_t>(k + 1) && p.next < kSectors);
        skipping = skipping || p.skipUntil > p.next;

        CPhotoItemsMgr rest(choice);
        PositionSink sink;
        ASSERT_EQ(run(rest, &p, sink), 0);
        const std::vector<Seen> tail(expected.begin() + p.photosStored, expected.end());
        EXPECT_EQ(Scanned(rest), tail);
        EXPECT_EQ(sink.photos, static_cast<int>(tail.size()));
        EXPECT_EQ(sink.progress, all.progress);
        EXPECT_EQ(sink.positions.back().photosFound, all.positions.back().photosFound);
    }
    EXPECT_TRUE(heldBack) << "no point was held back by an open candidate or run";
    EXPECT_TRUE(skipping) << "no point fell inside a whole photo";
}
