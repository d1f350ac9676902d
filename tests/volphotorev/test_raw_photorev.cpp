#include "volphotorev/raw_photorev.h"

#include <gtest/gtest.h>

#include <map>

#include "io/deviceio.h"
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

// Where the raw scan must end a photo whose file is `bytes`, stored at a
// sector from which everything after the file is used: at the first sector
// of the file that begins like another photo or another file, at the
// length cap, or at the file's last sector.
int64_t ExpectedSectors(const std::vector<uint8_t>& bytes) {
    int64_t whole = static_cast<int64_t>((bytes.size() + 511) / 512);
    for (int64_t i = 1; i < whole && i < CRawScanPhoto::kMaxPhotoSectors; ++i) {
        std::span<const uint8_t> s(bytes.data() + i * 512, std::min<size_t>(512, bytes.size() - i * 512));
        if (MatchPhotoHeader(s) >= 0 || IsOtherFileHeader(s)) return i;
    }
    return std::min(whole, CRawScanPhoto::kMaxPhotoSectors);
}

// Reads a stored photo back through its run list, as the task manager does.
std::vector<uint8_t> ReadBack(CDisk& disk, IPartition& part, const PhotoItem& item) {
    std::vector<uint8_t> out(item.size);
    for (const PhotoRun& r : item.runs) {
        if (r.sectorCount == 0) break;
        EXPECT_LE(static_cast<size_t>((r.fileSector + r.sectorCount) * 512), out.size());
        DeviceReadSectorsTolerant(disk.GetHandle(), part.GetOff() + static_cast<uint64_t>(r.volumeSector),
                                  static_cast<uint64_t>(r.sectorCount), out.data() + r.fileSector * 512);
    }
    return out;
}

}  // namespace

TEST(RawScanPhoto, CutsPhotosAtTheNextHeaderOtherFileOrLengthCap) {
    MemoryPartition d(40000);
    d.Put(10, kJpg);       // 10: JPEG, cut 100 sectors later by the next JPEG
    d.Put(110, kJpg);      // 110: JPEG with "BM" in its data at 300
    d.Put(300, "BM\x36");  // 300: BMP, ended by an executable at 350
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
// sectors full of signatures between them: each comes back whole.
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
    ASSERT_GE(found.size(), placed.size());
    for (auto& f : found) {
        // Every item lies inside a placed photo (a photo may be cut where its
        // data looks like the start of another file).
        auto it = placed.upper_bound(f.first);
        ASSERT_NE(it, placed.begin()) << f.name;
        --it;
        const auto& [file, bytes] = it->second;
        int64_t offset = (f.first - it->first) * 512;
        ASSERT_LT(offset, static_cast<int64_t>(bytes.size())) << f.name;
        auto back = ReadBack(disk, part, *f.item);
        ASSERT_EQ(back.size(), f.size);
        size_t n = std::min<size_t>(f.size, bytes.size() - static_cast<size_t>(offset));
        EXPECT_TRUE(std::equal(back.begin(), back.begin() + static_cast<ptrdiff_t>(n), bytes.begin() + offset))
            << f.name << " from " << file;
    }
    for (auto& [first, p] : placed) {
        auto it = std::find_if(found.begin(), found.end(), [&](auto& f) { return f.first == first; });
        ASSERT_NE(it, found.end()) << p.first;
        EXPECT_EQ(it->category, MatchPhotoHeader(p.second)) << p.first;
        EXPECT_EQ(it->sectors, ExpectedSectors(p.second)) << p.first;
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
        bool whole = false;
        for (auto& item : found) {
            if (item.sectors * 512 < static_cast<int64_t>(bytes.size())) continue;
            auto back = ReadBack(disk, p, *item.item);
            if (std::equal(bytes.begin(), bytes.end(), back.begin())) whole = true;
        }
        EXPECT_TRUE(whole) << f << " not found whole";
    }
}
