#include "filesystem/allounitmgr.h"

#include "flat_allounitmgr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

// A manager over a copy of `bytes` describing `units` units.
void InitFrom(CAlloUnitMgr& m, const std::vector<uint8_t>& bytes, int64_t units) {
    ASSERT_EQ(m.Init(bytes.data(), static_cast<int64_t>(bytes.size()), units), 0);
}

bool Bit(const CAlloUnitMgr& m, const uint8_t* bits, int64_t u) {
    (void)m;
    return (bits[u / 8] >> (u % 8)) & 1;
}

}  // namespace

TEST(AlloUnitMgr, InitCopiesTheCallersBitmapAndRejectsWhatCannotDescribeTheUnits) {
    CAlloUnitMgr m;
    EXPECT_EQ(m.GetBitmap(), nullptr);
    EXPECT_FALSE(m.IsFree(0, 1));  // no map yet
    EXPECT_EQ(m.FindFree(0, 1), -1);
    EXPECT_EQ(m.Init(nullptr, 8, 64), -1);

    std::vector<uint8_t> bytes(2, 0);
    EXPECT_EQ(m.Init(bytes.data(), 2, 17), -1);  // 16 bits cannot hold 17 units
    EXPECT_EQ(m.Init(bytes.data(), -1, 0), -1);

    bytes[1] = 0x02;  // unit 9 is bit 1 of byte 1
    InitFrom(m, bytes, 16);
    bytes[1] = 0;  // the manager keeps its own copy
    EXPECT_TRUE(m.IsUsed(9, 1));
    EXPECT_TRUE(m.IsFree(0, 9));
    EXPECT_TRUE(m.IsFree(10, 6));
    EXPECT_NE(m.GetBitmap(), bytes.data());
    EXPECT_EQ(m.GetBitmap()[1], 0x02);
}

TEST(AlloUnitMgr, RangesPastTheLastUnitAndEmptyCounts) {
    CAlloUnitMgr m;
    std::vector<uint8_t> zero(4, 0);
    InitFrom(m, zero, 30);  // bits 30 and 31 of the bitmap are no units
    EXPECT_TRUE(m.IsFree(0, 30));
    EXPECT_FALSE(m.IsFree(29, 2));  // unit 30 does not exist
    EXPECT_FALSE(m.IsFree(30, 1));
    EXPECT_FALSE(m.IsFree(-1, 2));
    EXPECT_TRUE(m.IsUsed(5, 0));
    EXPECT_TRUE(m.IsFree(5, -3));
    EXPECT_FALSE(m.IsFree(0, INT64_MAX));

    m.SetUsed(28, 10);  // only 28 and 29 exist
    EXPECT_TRUE(m.IsUsed(28, 2));
    EXPECT_FALSE(m.IsUsed(28, 3));
    EXPECT_TRUE(m.IsFree(0, 28));
    EXPECT_EQ(m.GetBitmap()[3], 0x30);  // bits 30, 31 untouched

    m.SetUsed(0, 0);
    m.SetUsed(0, -5);
    m.SetFree(29, INT64_MAX);  // no overflow, clears unit 29 only
    EXPECT_TRUE(m.IsFree(0, 28));
    EXPECT_TRUE(m.IsUsed(28, 1));
    EXPECT_TRUE(m.IsFree(29, 1));
}

TEST(AlloUnitMgr, SetUsedLeavesBytesAfterTheBitmapAlone) {
    CAlloUnitMgr m;
    std::vector<uint8_t> bytes(3, 0);
    InitFrom(m, bytes, 20);
    m.SetUsed(18, 10);
    const uint8_t* b = m.GetBitmap();
    EXPECT_EQ(b[0], 0x00);
    EXPECT_EQ(b[1], 0x00);
    EXPECT_EQ(b[2], 0x0C);  // units 18 and 19
}

TEST(AlloUnitMgr, FindFreeSkipsBlocksThatAreTooShortOrRunPastTheEnd) {
    CAlloUnitMgr m;
    std::vector<uint8_t> bytes{0x08, 0x00};  // unit 3 used
    InitFrom(m, bytes, 12);
    EXPECT_EQ(m.FindFree(0, 4), 4);
    EXPECT_EQ(m.FindFree(0, 3), 0);
    EXPECT_EQ(m.FindFree(1, 3), 4);
    EXPECT_EQ(m.FindFree(0, 8), 4);
    EXPECT_EQ(m.FindFree(0, 9), -1);  // 4..12 would run past unit 11
    EXPECT_EQ(m.FindFree(12, 1), -1);
    EXPECT_EQ(m.FindFree(-5, 2), 0);
    EXPECT_EQ(m.FindFree(7, 0), 7);
}

TEST(AlloUnitMgr, InitFreeAndLargeRangesAcrossWords) {
    CAlloUnitMgr m;
    ASSERT_EQ(m.InitFree(1000), 0);
    EXPECT_EQ(m.GetBitmapBytes(), 125);
    EXPECT_TRUE(m.IsFree(0, 1000));
    m.SetUsed(3, 900);
    EXPECT_TRUE(m.IsFree(0, 3));
    EXPECT_TRUE(m.IsUsed(3, 900));
    EXPECT_TRUE(m.IsFree(903, 97));
    m.SetFree(64, 128);
    EXPECT_TRUE(m.IsUsed(3, 61));
    EXPECT_TRUE(m.IsFree(64, 128));
    EXPECT_TRUE(m.IsUsed(192, 711));
    EXPECT_EQ(m.FindFree(0, 100), 64);
    EXPECT_EQ(m.FindFree(65, 97), 65);
    EXPECT_EQ(m.FindFree(100, 97), 903);
    EXPECT_EQ(m.FindFree(100, 98), -1);

    auto runs = m.GetFreeRunList(0, 1000, 50);
    std::vector<std::pair<int64_t, int64_t>> got;
    for (auto& r : runs) got.emplace_back(r.start, r.count);
    std::vector<std::pair<int64_t, int64_t>> want{{0, 3}, {64, 50}, {114, 50}, {164, 28}, {903, 50}, {953, 47}};
    EXPECT_EQ(got, want);
}

// The word walks must answer exactly what a test of one unit at a time does,
// including at word edges and past the last unit.
TEST(AlloUnitMgr, WordWalksAgreeWithUnitByUnitTests) {
    std::mt19937_64 rng(12345);
    for (int64_t units : {1, 63, 64, 65, 200, 1027}) {
        std::vector<uint8_t> bytes(static_cast<size_t>((units + 7) / 8 + 3));
        for (auto& b : bytes) {
            // Long free and used stretches mixed with noise.
            uint64_t r = rng();
            b = (r % 3 == 0) ? 0x00 : (r % 3 == 1) ? 0xFF : static_cast<uint8_t>(r >> 8);
        }
        CAlloUnitMgr m;
        InitFrom(m, bytes, units);
        const uint8_t* bits = m.GetBitmap();
        for (int64_t from = 0; from <= units + 2; ++from) {
            for (int64_t limit : {from, from + 1, from + 63, from + 64, from + 130, units, units + 5}) {
                int64_t wantFree = limit, wantUsed = limit;
                for (int64_t u = from; u < limit; ++u) {
                    bool free = u < units && !Bit(m, bits, u);
                    if (free && wantFree == limit) wantFree = u;
                    if (!free && wantUsed == limit) wantUsed = u;
                }
                if (limit < from) continue;
                ASSERT_EQ(m.NextFree(from, limit), wantFree) << units << " " << from << " " << limit;
                ASSERT_EQ(m.NextUsed(from, limit), wantUsed) << units << " " << from << " " << limit;
            }
            for (int32_t len : {1, 2, 7, 64, 70}) {
                int64_t want = -1;
                for (int64_t u = from; u < units && want < 0; ++u) {
                    bool ok = u + len <= units;
                    for (int64_t k = u; ok && k < u + len; ++k) ok = !Bit(m, bits, k);
                    if (ok) want = u;
                }
                ASSERT_EQ(m.FindFree(from, len), want) << units << " " << from << " " << len;
            }
        }
    }
}

TEST(AlloUnitMgr, ClusterBitmapMarksWholeClustersFromTheFirstDataUnit) {
    CAlloUnitMgr m;
    ASSERT_EQ(m.InitFree(100 + 40 * 4), 0);
    // Clusters 0, 2-3, 8-15 (a whole byte), 17 and 33 set; 33 is past `clusters`.
    std::vector<uint8_t> bitmap{0x0D, 0xFF, 0x02, 0x00, 0x02};
    m.SetUsedByClusterBitmap(bitmap, 33, 100, 4);
    auto used = [&](int64_t c) { return m.IsUsed(100 + c * 4, 4); };
    auto free = [&](int64_t c) { return m.IsFree(100 + c * 4, 4); };
    EXPECT_TRUE(m.IsFree(0, 100));
    EXPECT_TRUE(used(0));
    EXPECT_TRUE(free(1));
    EXPECT_TRUE(used(2) && used(3));
    for (int c = 4; c < 8; ++c) EXPECT_TRUE(free(c)) << c;
    for (int c = 8; c < 16; ++c) EXPECT_TRUE(used(c)) << c;
    EXPECT_TRUE(free(16));
    EXPECT_TRUE(used(17));
    for (int c = 18; c < 40; ++c) EXPECT_TRUE(free(c)) << c;

    // A bitmap shorter than the cluster count stops at its end; a map shorter
    // than the clusters keeps what fits.
    CAlloUnitMgr small;
    ASSERT_EQ(small.InitFree(10), 0);
    std::vector<uint8_t> all{0xFF};
    small.SetUsedByClusterBitmap(all, 1000, 2, 3);
    EXPECT_TRUE(small.IsFree(0, 2));
    EXPECT_TRUE(small.IsUsed(2, 8));
}

// ---- The map in pieces against the flat map it replaced ----

namespace {

constexpr int64_t K = CAlloUnitMgr::kPieceUnits;

// A bitmap with whole free and used pieces, long stretches and noise.
std::vector<uint8_t> LayoutBits(std::mt19937_64& rng, int64_t units) {
    std::vector<uint8_t> bytes(static_cast<size_t>((units + 7) / 8));
    size_t i = 0;
    while (i < bytes.size()) {
        uint64_t r = rng();
        size_t len = std::min(bytes.size() - i, static_cast<size_t>(1 + r % (K / 4)));
        uint8_t kind = static_cast<uint8_t>(r >> 40) % 3;
        for (size_t k = 0; k < len; ++k, ++i) bytes[i] = kind == 0 ? 0x00 : kind == 1 ? 0xFF : static_cast<uint8_t>(rng());
    }
    return bytes;
}

template <typename Map>
std::vector<std::pair<int64_t, int64_t>> Runs(Map& m, int64_t start, int64_t total, int32_t block) {
    std::vector<std::pair<int64_t, int64_t>> out;
    for (const FreeUnitRun& r : m.GetFreeRunList(start, total, block)) out.emplace_back(r.start, r.count);
    return out;
}

// Every query the raw scan and the tools make, at the given points.
void ExpectSameAnswers(CAlloUnitMgr& m, flatmap::FlatAlloUnitMgr& f, std::mt19937_64& rng, int64_t units) {
    ASSERT_EQ(Runs(m, 0, units + 10, 0), Runs(f, 0, units + 10, 0));
    ASSERT_EQ(Runs(m, units / 3, units / 2 + 5, 1000), Runs(f, units / 3, units / 2 + 5, 1000));
    for (int i = 0; i < 200; ++i) {
        int64_t from = units ? static_cast<int64_t>(rng() % static_cast<uint64_t>(units + 3)) - 1 : 0;
        int64_t len = static_cast<int64_t>(rng() % (3 * K)) - 2;
        ASSERT_EQ(m.IsFree(from, len), f.IsFree(from, len)) << from << " " << len;
        ASSERT_EQ(m.IsUsed(from, len), f.IsUsed(from, len)) << from << " " << len;
        ASSERT_EQ(m.NextFree(from, from + len), f.NextFree(from, from + len)) << from << " " << len;
        ASSERT_EQ(m.NextUsed(from, from + len), f.NextUsed(from, from + len)) << from << " " << len;
        int32_t block = static_cast<int32_t>(1 + rng() % 300);
        ASSERT_EQ(m.FindFree(from, block), f.FindFree(from, block)) << from << " " << block;
    }
    const uint8_t* a = m.GetBitmap();
    const uint8_t* b = f.GetBitmap();
    ASSERT_TRUE(a && b);
    ASSERT_EQ(0, std::memcmp(a, b, static_cast<size_t>(units / 8))) << units;
    if (units % 8) {
        const int tail = (1 << (units % 8)) - 1;
        ASSERT_EQ(a[units / 8] & tail, b[units / 8] & tail);
    }
}

// A file system's record made up from a formula, counting its reads and
// failing on request.
class PatternSource : public IAlloUnitSource {
public:
    explicit PatternSource(uint64_t seed) : seed(seed) {}
    // Pieces 3k are free, 3k+1 used, 3k+2 mixed in a pattern of the seed.
    bool Used(int64_t u) const {
        int64_t p = u / K;
        if (p % 3 == 0) return false;
        if (p % 3 == 1) return true;
        uint64_t h = (static_cast<uint64_t>(u / 5) + seed) * 0x9E3779B97F4A7C15ull;
        return (h >> 61) & 1;
    }
    int ReadUsed(int64_t first, int64_t count, uint64_t* used) override {
        ++reads;
        if (failFrom >= 0 && reads > failFrom) return -1;
        for (int64_t i = 0; i < count; ++i)
            if (Used(first + i)) used[i / 64] |= uint64_t{1} << (i % 64);
        return 0;
    }
    uint64_t seed;
    int reads = 0;
    int failFrom = -1;  // reads after this many fail
};

// Free units of the flat map, one by one.
int64_t FreeCount(flatmap::FlatAlloUnitMgr& f, int64_t units) {
    int64_t n = 0;
    for (int64_t u = 0; u < units; ++u) n += f.IsFree(u, 1) ? 1 : 0;
    return n;
}

}  // namespace

TEST(AlloUnitMgr, RandomChangesGiveTheFlatMapsAnswersAtPieceEdges) {
    std::mt19937_64 rng(77);
    for (int64_t units : {int64_t{0}, int64_t{1}, int64_t{100}, K - 1, K, K + 1, 3 * K + 77}) {
        std::vector<uint8_t> bytes = LayoutBits(rng, units);
        CAlloUnitMgr m;
        flatmap::FlatAlloUnitMgr f;
        std::vector<uint8_t> init = bytes.empty() ? std::vector<uint8_t>{0} : bytes;
        ASSERT_EQ(m.Init(init.data(), static_cast<int64_t>(init.size()), units), 0);
        ASSERT_EQ(f.Init(init.data(), static_cast<int64_t>(init.size()), units), 0);
        ExpectSameAnswers(m, f, rng, units);
        for (int op = 0; op < 300; ++op) {
            int64_t start = static_cast<int64_t>(rng() % static_cast<uint64_t>(units + 2 * K)) - K;
            int64_t count = (rng() % 4 == 0) ? static_cast<int64_t>(rng() % (3 * K)) : static_cast<int64_t>(rng() % 200);
            if (rng() % 2) {
                m.SetUsed(start, count);
                f.SetUsed(start, count);
            } else {
                m.SetFree(start, count);
                f.SetFree(start, count);
            }
            if (op % 50 == 49) ExpectSameAnswers(m, f, rng, units);
        }
        ExpectSameAnswers(m, f, rng, units);
        EXPECT_EQ(m.CountFreeUnits(), FreeCount(f, units)) << units;
    }
}

TEST(AlloUnitMgr, ASourceBackedMapKeepsFewPiecesAndReadsTheOthersAgain) {
    const int64_t units = 30 * K + 123;
    PatternSource* src = new PatternSource(5);
    CAlloUnitMgr m(3 * static_cast<int64_t>(CAlloUnitMgr::kPieceBytes));
    ASSERT_EQ(m.InitFromSource(units, std::unique_ptr<IAlloUnitSource>(src)), 0);
    EXPECT_EQ(src->reads, 31);  // one pass over every piece

    flatmap::FlatAlloUnitMgr f;
    ASSERT_EQ(f.InitFree(units), 0);
    for (int64_t u = 0; u < units; ++u)
        if (src->Used(u)) f.SetUsed(u, 1);

    std::mt19937_64 rng(9);
    ExpectSameAnswers(m, f, rng, units);
    // Counting the free units reads nothing again, kept piece or not.
    const int readsBefore = src->reads;
    EXPECT_EQ(m.CountFreeUnits(), FreeCount(f, units));
    EXPECT_EQ(src->reads, readsBefore);
    // Ten mixed pieces, three of them in memory at a time.
    EXPECT_LE(m.MemoryBytes(), 31 * 16 + 4 * static_cast<int64_t>(CAlloUnitMgr::kPieceBytes + 8) + 4096 + units / 8 + 8);
    EXPECT_GT(src->reads, 31 + 7);

    // A change makes a piece the map's own: it is never dropped, and whole
    // pieces set or cleared are never read again.
    m.SetFree(2 * K + 10, 3);
    f.SetFree(2 * K + 10, 3);
    m.SetUsed(5 * K, K);
    f.SetUsed(5 * K, K);
    for (int64_t p = 0; p < 30; ++p) (void)m.NextUsed(p * K, p * K + K);  // walk everything: evictions
    ExpectSameAnswers(m, f, rng, units);
    EXPECT_EQ(m.CountFreeUnits(), FreeCount(f, units));
}

TEST(AlloUnitMgr, ASourceThatFailsLeavesNoMapOrCountsThePieceFree) {
    PatternSource* src = new PatternSource(1);
    src->failFrom = 4;
    CAlloUnitMgr m;
    EXPECT_EQ(m.InitFromSource(10 * K, std::unique_ptr<IAlloUnitSource>(src)), -1);
    EXPECT_FALSE(m.IsFree(0, 1));
    EXPECT_EQ(m.GetBitmap(), nullptr);
    EXPECT_EQ(m.InitFromSource(10, nullptr), -1);

    // Read well once, then not again: the piece is scanned as free.
    PatternSource* later = new PatternSource(1);
    CAlloUnitMgr small(static_cast<int64_t>(CAlloUnitMgr::kPieceBytes));  // one mixed piece in memory
    ASSERT_EQ(small.InitFromSource(9 * K, std::unique_ptr<IAlloUnitSource>(later)), 0);
    later->failFrom = later->reads;
    EXPECT_TRUE(small.IsUsed(K, K));            // all used: never read again
    EXPECT_TRUE(small.IsFree(0, K));            // all free
    EXPECT_FALSE(small.IsFree(2 * K, K));       // mixed, kept from the first pass
    EXPECT_FALSE(small.IsUsed(2 * K, K));
    EXPECT_TRUE(small.IsFree(5 * K, K));        // mixed, not kept, unreadable now: scanned as free
    EXPECT_TRUE(small.IsFree(8 * K, K));
}

TEST(AlloUnitMgr, MemoryFollowsTheLayoutNotTheSize) {
    // A 4 TiB partition in sectors with a few thousand photos marked.
    const int64_t units = int64_t{1} << 33;
    CAlloUnitMgr m;
    ASSERT_EQ(m.InitFree(units), 0);
    EXPECT_LE(m.MemoryBytes(), 4 << 20);
    std::mt19937_64 rng(3);
    for (int i = 0; i < 3000; ++i) m.SetUsed(static_cast<int64_t>(rng() % static_cast<uint64_t>(units)), 6000);
    m.SetUsed(0, units / 2);  // a big file system area: pieces, not bits
    EXPECT_LE(m.MemoryBytes(), (4 << 20) + 3000 * 2 * static_cast<int64_t>(CAlloUnitMgr::kPieceBytes + 8));
    EXPECT_TRUE(m.IsUsed(0, units / 2));
    EXPECT_EQ(m.NextFree(0, units), m.FindFree(0, 1));
}

TEST(AlloUnitMgr, UnitsHeldOnTopOfTheSourceKeepItsPiecesDroppable) {
    const int64_t units = 12 * K + 77;
    // Overlapping runs, runs across piece edges, inside used pieces, past
    // the last unit, and runs that mean nothing.
    const std::vector<std::pair<int64_t, int64_t>> runs = {
        {3 * K - 10, 40}, {3 * K, 5}, {5 * K + 100, 2 * K}, {4 * K + 7, 9}, {12 * K + 70, 1000},
        {-5, 100},        {9 * K, 0}, {8 * K + 1, 3},
    };
    const int64_t resident = 2 * static_cast<int64_t>(CAlloUnitMgr::kPieceBytes);
    PatternSource* pattern = new PatternSource(11);
    auto held = std::make_unique<CUsedRunsSource>(std::unique_ptr<IAlloUnitSource>(pattern), runs);
    const CUsedRunsSource* counted = held.get();
    CAlloUnitMgr m(resident);
    ASSERT_EQ(m.InitFromSource(units, std::move(held)), 0);

    // The same map as marking the runs afterwards (those with a start), and
    // the same count held.
    PatternSource plain(11);
    flatmap::FlatAlloUnitMgr f;
    ASSERT_EQ(f.InitFree(units), 0);
    for (int64_t u = 0; u < units; ++u)
        if (plain.Used(u)) f.SetUsed(u, 1);
    const int64_t freeBefore = FreeCount(f, units);
    for (const auto& [start, count] : runs)
        if (start >= 0) f.SetUsed(start, count);
    EXPECT_EQ(counted->AddedUnits(), freeBefore - FreeCount(f, units));
    std::mt19937_64 rng(4);
    ExpectSameAnswers(m, f, rng, units);

    // Walking the whole map drops and reads pieces again: memory stays
    // within what the map may keep, the answers stay the same.
    for (int64_t p = 0; p <= 12; ++p) (void)m.NextUsed(p * K, p * K + K);
    EXPECT_LE(m.MemoryBytes(), 13 * 16 + 3 * static_cast<int64_t>(CAlloUnitMgr::kPieceBytes + 8) + 4096 + units / 8 + 8);
    ExpectSameAnswers(m, f, rng, units);
    EXPECT_EQ(m.CountFreeUnits(), FreeCount(f, units));

    CUsedRunsSource none(nullptr, runs);
    uint64_t word = 0;
    EXPECT_EQ(none.ReadUsed(0, 64, &word), -1);
}
