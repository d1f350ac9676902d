// Imaging a failing drive: a disk in memory with unreadable areas, weak and
// slow sectors, or that disappears, is copied; the image is compared with the
// source byte for byte, the map is checked with ddrescuelog, and copies are
// handed over to ddrescue and back.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "io/platform/memory_handle.h"
#include "taskmgr/diskimaging.h"
#include "testutil.h"

namespace {

constexpr uint64_t kSectors = 8192;  // a 4 MiB card
constexpr uint64_t kCluster = 64 * 1024;

// Sector i holds its number in its first eight bytes and i % 251 after.
std::shared_ptr<std::vector<uint8_t>> PatternDisk(uint64_t sectors) {
    auto bytes = std::make_shared<std::vector<uint8_t>>(sectors * 512);
    for (uint64_t s = 0; s < sectors; ++s) {
        std::memset(bytes->data() + s * 512, static_cast<int>(s % 251), 512);
        std::memcpy(bytes->data() + s * 512, &s, sizeof s);
    }
    return bytes;
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

struct Read {
    uint64_t off, len;
    bool ok;
};

// Records every read and moves a test clock on by a millisecond per read.
class CRecorder : public IDeviceHandle {
public:
    CRecorder(IDeviceHandle* inner, double* clock) : m_inner(inner), m_clock(clock) {}
    int64_t ReadAt(uint64_t off, void* buf, size_t len, int* err) override {
        *m_clock += 0.001;
        const int64_t n = m_inner->ReadAt(off, buf, len, err);
        reads.push_back({off, len, n == static_cast<int64_t>(len)});
        return n;
    }
    int64_t WriteAt(uint64_t, const void*, size_t, int* err) override {
        ++writes;
        if (err) *err = EPERM;
        return -1;
    }
    bool IsReadOnly() const override { return true; }
    std::vector<Read> reads;
    int writes = 0;

private:
    IDeviceHandle* m_inner;
    double* m_clock;
};

// Stops the copy at the n-th report, or once a phase is reached.
class CStopper : public IImagingObserver {
public:
    int OnProgress(const ImagingProgress& p) override {
        ++calls;
        last = p;
        if (stopAtCall > 0 && calls >= stopAtCall) return -1;
        if (stopAtPhase != 0 && p.phase == stopAtPhase) return -1;
        if (stopWhenWhole && p.rescued == p.size) return -1;
        return 0;
    }
    int calls = 0;
    bool stopWhenWhole = false;
    int stopAtCall = 0;
    char stopAtPhase = 0;
    ImagingProgress last;
};

struct Fixture {
    testutil::TempDir dir;
    double clock = 1000;
    std::string image = dir / "card.img";
    std::string map = dir / "card.map";

    ImagingOptions Options(int retries = 0) {
        ImagingOptions o;
        o.clock = [this] { return clock; };
        o.retryPasses = retries;
        o.progressIntervalSeconds = 0;  // every read is reported
        o.commandLine = "test";
        return o;
    }
    int Image(IDeviceHandle* source, ImagingOptions o, IImagingObserver* observer = nullptr,
              uint64_t size = kSectors * 512) {
        CDiskImager imager(source, 0, size, std::move(o));
        const int rc = imager.Run(image, map, observer);
        last = imager.Progress();
        error = imager.ErrorText();
        return rc;
    }
    CRescueMap LoadMap() {
        const std::vector<uint8_t> bytes = testutil::ReadFileBytes(map);
        CRescueMap m;
        std::string why;
        EXPECT_EQ(m.Parse(std::string(bytes.begin(), bytes.end()), why), 0) << why;
        return m;
    }
    ImagingProgress last;
    std::string error;
};

// Sectors ddrescuelog lists with that status.
std::vector<uint64_t> DdrescuelogSectors(const std::string& map, char status) {
    int rc = -1;
    const std::string out = testutil::Capture("ddrescuelog -b512 --list-blocks=" + std::string(1, status) + " " +
                                              Quote(map), &rc);
    EXPECT_EQ(rc, 0) << out;
    std::vector<uint64_t> sectors;
    std::istringstream in(out);
    uint64_t s;
    while (in >> s) sectors.push_back(s);
    return sectors;
}

bool HaveDdrescue() { return testutil::HaveTool("ddrescue") && testutil::HaveTool("ddrescuelog"); }

void ExpectSameBytes(const std::string& path, const std::vector<uint8_t>& want) {
    const std::vector<uint8_t> got = testutil::ReadFileBytes(path);
    ASSERT_EQ(got.size(), want.size()) << path;
    EXPECT_TRUE(got == want) << path << " differs from the source";
}

}  // namespace

// A card with a bad sector, a large bad area and a bad end: every readable
// sector is copied, the unreadable ones stay zero, the map says exactly which
// they are (as ddrescuelog reads it), the good areas are all copied before
// any sector is read alone, and no sector is read more than twice.
TEST(DiskImaging, CopiesEveryReadableSectorOfABadCard) {
    Fixture f;
    const auto bytes = PatternDisk(kSectors);
    const std::vector<uint8_t> before = *bytes;
    CMemoryHandle card(bytes, true);
    FaultPlan plan;
    plan.unreadable = {{100, 1}, {1000, 300}, {kSectors - 2, 2}};
    card.SetFaults(plan);
    CRecorder source(&card, &f.clock);

    ASSERT_EQ(f.Image(&source, f.Options()), IMAGING_DONE) << f.error;
    std::vector<uint64_t> bad = {100};
    for (uint64_t s = 1000; s < 1300; ++s) bad.push_back(s);
    bad.push_back(kSectors - 2);
    bad.push_back(kSectors - 1);

    std::vector<uint8_t> want = before;
    for (uint64_t s : bad) std::memset(want.data() + s * 512, 0, 512);
    ExpectSameBytes(f.image, want);
    EXPECT_EQ(*bytes, before);
    EXPECT_EQ(source.writes, 0);

    const CRescueMap m = f.LoadMap();
    EXPECT_EQ(m.Bytes('-'), bad.size() * 512);
    EXPECT_EQ(m.Bytes('+'), (kSectors - bad.size()) * 512);
    EXPECT_EQ(m.currentStatus, '+');
    EXPECT_EQ(f.last.badAreas, 3u);
    EXPECT_EQ(f.last.badBytes, bad.size() * 512);
    EXPECT_EQ(f.last.rescued, (kSectors - bad.size()) * 512);
    if (HaveDdrescue()) {
        EXPECT_EQ(DdrescuelogSectors(f.map, '-'), bad);
        EXPECT_EQ(DdrescuelogSectors(f.map, '+').size(), kSectors - bad.size());
    }

    size_t lastLarge = 0, firstSmall = source.reads.size();
    std::map<uint64_t, int> tries;
    for (size_t i = 0; i < source.reads.size(); ++i) {
        const Read& r = source.reads[i];
        if (r.len > 512) lastLarge = i;
        else firstSmall = std::min(firstSmall, i);
        for (uint64_t s = r.off / 512; s < (r.off + r.len) / 512; ++s) ++tries[s];
    }
    EXPECT_LT(lastLarge, firstSmall);
    for (const auto& [sector, n] : tries) EXPECT_LE(n, 2) << "sector " << sector;
    // The large bad area cost few large reads: the copy skipped past it.
    int failedLarge = 0;
    for (const Read& r : source.reads) failedLarge += (!r.ok && r.len > 512) ? 1 : 0;
    EXPECT_LE(failedLarge, 6);
}

// A weak sector that fails twice stays bad without retries and comes back in
// the first retry pass of a resumed copy.
TEST(DiskImaging, RetryPassesBringBackWeakSectors) {
    Fixture f;
    const auto bytes = PatternDisk(kSectors);
    CMemoryHandle card(bytes, true);
    FaultPlan plan;
    plan.weak = {{5000, 2}, {5001, 2}};
    card.SetFaults(plan);

    ASSERT_EQ(f.Image(&card, f.Options(0)), IMAGING_DONE) << f.error;
    EXPECT_EQ(f.LoadMap().Bytes('-'), 2u * 512);
    ASSERT_EQ(f.Image(&card, f.Options(1)), IMAGING_DONE) << f.error;
    const CRescueMap m = f.LoadMap();
    EXPECT_EQ(m.Bytes('+'), kSectors * 512);
    EXPECT_EQ(f.last.badAreas, 0u);
    ExpectSameBytes(f.image, *bytes);
}

// A slow area is read once, kept, and the copy skips past it: what follows is
// read after the rest of the card.
TEST(DiskImaging, SlowAreaIsLeftForLater) {
    Fixture f;
    const auto bytes = PatternDisk(kSectors);
    CMemoryHandle card(bytes, true);
    FaultPlan plan;
    for (uint64_t s = 3000; s < 3010; ++s) plan.slow.insert(s);
    plan.slowMicros = 5000000;  // five seconds of the test clock
    plan.wait = [&f](uint32_t micros) { f.clock += micros / 1e6; };
    card.SetFaults(plan);
    CRecorder source(&card, &f.clock);

    ASSERT_EQ(f.Image(&source, f.Options()), IMAGING_DONE) << f.error;
    ExpectSameBytes(f.image, *bytes);
    const uint64_t slowCluster = 3000 * 512 / kCluster * kCluster;
    size_t readSlow = 0, readNext = 0, readLast = 0;
    for (size_t i = 0; i < source.reads.size(); ++i) {
        if (source.reads[i].off == slowCluster) readSlow = i;
        if (source.reads[i].off == slowCluster + kCluster) readNext = i;
        if (source.reads[i].off == kSectors * 512 - kCluster) readLast = i;
    }
    EXPECT_LT(readSlow, readLast);
    EXPECT_GT(readNext, readLast);
}

// The card is pulled out half way: the copy stops with the map saved, marks
// nothing bad that was not, and a new copy from the map finishes the image.
TEST(DiskImaging, DriveThatDisappearsLeavesAResumableMap) {
    Fixture f;
    const auto bytes = PatternDisk(kSectors);
    {
        CMemoryHandle card(bytes, true);
        FaultPlan plan;
        plan.vanishAfterReads = 20;
        card.SetFaults(plan);
        ASSERT_EQ(f.Image(&card, f.Options()), IMAGING_SOURCE_GONE);
        EXPECT_NE(f.error.find("removed"), std::string::npos) << f.error;
    }
    const CRescueMap m = f.LoadMap();
    EXPECT_EQ(m.Bytes('+'), 20 * kCluster);
    EXPECT_EQ(m.Bytes('-') + m.Bytes('*') + m.Bytes('/'), 0u);
    EXPECT_EQ(m.currentStatus, '?');
    if (HaveDdrescue()) {
        EXPECT_EQ(testutil::Run("ddrescuelog -t " + Quote(f.map) + " >/dev/null"), 0);
    }

    CMemoryHandle again(bytes, true);
    CStopper watch;
    ASSERT_EQ(f.Image(&again, f.Options(), &watch), IMAGING_DONE) << f.error;
    ExpectSameBytes(f.image, *bytes);
    // The resumed copy read only what was missing.
    EXPECT_EQ(again.ReadCalls(), (kSectors * 512 - 20 * kCluster) / kCluster);
    EXPECT_EQ(watch.last.phase, '+');
}

// Stopped by its observer, the copy leaves a map that resumes it.
TEST(DiskImaging, StopsCleanlyAndResumes) {
    Fixture f;
    const auto bytes = PatternDisk(kSectors);
    CMemoryHandle card(bytes, true);
    FaultPlan plan;
    plan.unreadable = {{2000, 64}};
    card.SetFaults(plan);
    CStopper stop;
    stop.stopAtCall = 12;
    ASSERT_EQ(f.Image(&card, f.Options(), &stop), IMAGING_STOPPED);
    const CRescueMap m = f.LoadMap();
    EXPECT_GT(m.Bytes('+'), 0u);
    EXPECT_GT(m.Bytes('?'), 0u);
    EXPECT_EQ(stop.last.rescued, m.Bytes('+'));

    ASSERT_EQ(f.Image(&card, f.Options()), IMAGING_DONE) << f.error;
    std::vector<uint8_t> want = *bytes;
    std::memset(want.data() + 2000 * 512, 0, 64 * 512);
    ExpectSameBytes(f.image, want);
    EXPECT_EQ(f.LoadMap().Bytes('-'), 64u * 512);
}

// A stop that comes after the last byte was read cuts nothing short.
TEST(DiskImaging, AStopOnceEverythingIsReadIsAWholeCopy) {
    Fixture f;
    const auto bytes = PatternDisk(kSectors);
    CMemoryHandle card(bytes, true);
    CStopper stop;
    stop.stopWhenWhole = true;
    ASSERT_EQ(f.Image(&card, f.Options(), &stop), IMAGING_DONE) << f.error;
    EXPECT_GT(stop.calls, 0);
    ExpectSameBytes(f.image, *bytes);
    const CRescueMap m = f.LoadMap();
    EXPECT_EQ(m.currentStatus, MAP_FINISHED);
    EXPECT_EQ(m.Bytes('+'), kSectors * 512u);
}

// A copy we stopped while trimming is finished by ddrescue from our map, with
// a good copy of the source: the result is the source, byte for byte.
TEST(DiskImaging, DdrescueFinishesOurCopy) {
    if (!HaveDdrescue()) GTEST_SKIP() << "ddrescue (gddrescue) is not installed";
    Fixture f;
    const auto bytes = PatternDisk(kSectors);
    CMemoryHandle card(bytes, true);
    FaultPlan plan;
    plan.unreadable = {{300, 1}, {4000, 200}, {6000, 3}};
    card.SetFaults(plan);
    CStopper stop;
    stop.stopAtPhase = '*';
    ASSERT_EQ(f.Image(&card, f.Options(), &stop), IMAGING_STOPPED);
    const CRescueMap m = f.LoadMap();
    EXPECT_GT(m.Bytes('*'), 0u);

    ASSERT_TRUE(testutil::WriteFileBytes(f.dir / "good", *bytes));
    ASSERT_EQ(testutil::Run("ddrescue -q -r1 " + Quote(f.dir / "good") + " " + Quote(f.image) + " " + Quote(f.map)),
              0);
    ExpectSameBytes(f.image, *bytes);
    EXPECT_EQ(testutil::Run("ddrescuelog -D " + Quote(f.map)), 0);  // ddrescue calls it done
}

// The other way round: copies ddrescue left unfinished (stopped at its first
// error, or finished without scraping) are finished by us from its map.
TEST(DiskImaging, WeFinishDdrescuesCopy) {
    if (!HaveDdrescue()) GTEST_SKIP() << "ddrescue (gddrescue) is not installed";
    testutil::TempDir dir;
    const auto bytes = PatternDisk(kSectors);
    const std::string good = dir / "good";
    ASSERT_TRUE(testutil::WriteFileBytes(good, *bytes));
    // ddrescue's test mode reads the finished blocks of this map and fails the rest.
    const std::string bad = "0 + 1\n0 0x40000 +\n0x40000 0x20000 -\n0x60000 0x80000 +\n0xE0000 0x400 -\n"
                            "0xE0400 0x31FC00 +\n";
    ASSERT_TRUE(testutil::WriteFileBytes(dir / "bad.map", std::vector<uint8_t>(bad.begin(), bad.end())));
    for (const char* options : {"-X 1", "-n"}) {
        Fixture f;
        testutil::Run("ddrescue -q -H " + Quote(dir / "bad.map") + " " + options + " " + Quote(good) + " " +
                      Quote(f.image) + " " + Quote(f.map) + " || true");
        const CRescueMap before = f.LoadMap();
        ASSERT_LT(before.Bytes('+'), kSectors * 512) << options;

        int err = 0;
        DevHandle source = Platform().Open(good, true, &err);
        ASSERT_TRUE(source) << err;
        ASSERT_EQ(f.Image(source.get(), f.Options(1)), IMAGING_DONE) << options << ": " << f.error;
        ExpectSameBytes(f.image, *bytes);
        EXPECT_EQ(testutil::Run("ddrescuelog -D " + Quote(f.map)), 0) << options;
    }
}

TEST(DiskImaging, PlansRefuseUnsafeDestinations) {
    testutil::TempDir dir;
    const std::string source = dir / "source.img";
    ASSERT_TRUE(testutil::WriteFileBytes(source, std::vector<uint8_t>(4096, 7)));
    ASSERT_TRUE(testutil::WriteFileBytes(dir / "old.img", std::vector<uint8_t>(4096, 1)));
    const std::string map = "0 + 1\n0 0x800 +\n0x800 0x800 ?\n";
    ASSERT_TRUE(testutil::WriteFileBytes(dir / "half.map", std::vector<uint8_t>(map.begin(), map.end())));
    ASSERT_TRUE(testutil::WriteFileBytes(dir / "old.map", std::vector<uint8_t>(map.begin(), map.end())));
    const std::string big = "0 + 1\n0 0x2000 +\n";
    ASSERT_TRUE(testutil::WriteFileBytes(dir / "big.map", std::vector<uint8_t>(big.begin(), big.end())));
    const std::string junk = "this is no map\n";
    ASSERT_TRUE(testutil::WriteFileBytes(dir / "junk.map", std::vector<uint8_t>(junk.begin(), junk.end())));

    const struct {
        std::string image, map;
        uint64_t size;
        const char* reason;  // empty: accepted
    } cases[] = {
        {dir / "new.img", dir / "new.map", 4096, ""},
        {dir / "old.img", dir / "old.map", 4096, ""},  // resumes
        {dir / "new.img", dir / "new.img", 4096, "the map file must not be the image file"},
        {dir / "nowhere/x.img", dir / "x.map", 4096, "no such folder"},
        {source, dir / "s.map", 4096, "is the drive being imaged"},
        {dir / "old.img", dir / "none.map", 4096, "exists and there is no map"},
        {dir / "gone.img", dir / "half.map", 4096, "which is missing"},
        {dir / "old.img", dir / "big.map", 4096, "is of a larger drive"},
        {dir / "old.img", dir / "junk.map", 4096, "is not a map of a copy"},
        {dir / "new.img", dir / "new.map", 1ULL << 60, "not enough room"},
    };
    for (const auto& c : cases) {
        ImagingPlan plan;
        std::string reason;
        const int rc = PlanImaging(source, c.size, c.image, c.map, plan, reason);
        if (std::string(c.reason).empty()) {
            EXPECT_EQ(rc, 0) << c.image << ": " << reason;
        } else {
            EXPECT_EQ(rc, -1) << c.image;
            EXPECT_NE(reason.find(c.reason), std::string::npos) << c.image << ": " << reason;
        }
    }
    ImagingPlan plan;
    std::string reason;
    ASSERT_EQ(PlanImaging(source, 4096, dir / "old.img", dir / "old.map", plan, reason), 0) << reason;
    EXPECT_TRUE(plan.resume);
    EXPECT_EQ(plan.rescued, 2048u);
    EXPECT_EQ(plan.neededBytes, 2048u);
}
