#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <sstream>

#include "io/deviceio.h"
#include "io/le.h"
#include "io/platform/drive_layout.h"
#include "io/platform/memory_handle.h"
#include "log_capture.h"
#include "testutil.h"

#include <zlib.h>

namespace {

constexpr uint64_t kImageBytes = 8ull << 20;

std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary | std::ios::ate);
    std::vector<uint8_t> bytes(static_cast<size_t>(std::max<std::streamoff>(f.tellg(), 0)));
    f.seekg(0);
    f.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

struct SfdiskPart {
    uint64_t start = 0, size = 0;
    unsigned type = 0;
    bool bootable = false;
};

// An image partitioned by sfdisk; the partitions as sfdisk names them
// (img1..img4 primaries, img5.. logical, the kernel's numbers) are the oracle.
class SfdiskImage {
public:
    explicit SfdiskImage(const std::string& script, uint64_t bytes = kImageBytes) {
        if (!testutil::HaveTool("sfdisk")) return;
        m_path = m_dir / "disk.img";
        std::ostringstream cmd;
        cmd << "truncate -s " << bytes << " " << m_path << " && printf '" << script << "' | sfdisk -q " << m_path;
        if (testutil::Run(cmd.str()) != 0) return;
        std::string dump = testutil::Capture("sfdisk -d " + m_path);
        std::regex line(R"(disk\.img(\d+) : start= *(\d+), size= *(\d+), type=([0-9a-f]+)(, bootable)?)");
        for (std::sregex_iterator it(dump.begin(), dump.end(), line), end; it != end; ++it) {
            SfdiskPart p{std::stoull((*it)[2]), std::stoull((*it)[3]), static_cast<unsigned>(std::stoul((*it)[4], nullptr, 16)),
                         (*it)[5].matched};
            parts[std::stoi((*it)[1])] = p;
        }
        m_ok = true;
    }
    bool ok() const { return m_ok; }
    const std::string& path() const { return m_path; }
    std::vector<uint8_t> Bytes() const { return ReadAll(m_path); }
    std::map<int, SfdiskPart> parts;

private:
    testutil::TempDir m_dir;
    std::string m_path;
    bool m_ok = false;
};

// The layout through the whole stack: the platform opens the image file.
std::vector<LayoutEntry> LayoutOf(const std::string& path, int* rc = nullptr) {
    std::vector<LayoutEntry> out;
    DevHandle h = DeviceOpenReadOnly(path);
    int err = 0;
    int r = h ? Platform().GetDriveLayout(h.get(), out, &err) : -1;
    if (rc) *rc = r;
    return out;
}

DriveLayoutEx LayoutExOf(const std::string& path) {
    DriveLayoutEx out;
    DevHandle h = DeviceOpenReadOnly(path);
    int err = 0;
    if (h) Platform().GetDriveLayoutEx(h.get(), out, &err);
    return out;
}

std::vector<LayoutEntry> LayoutOfBytes(const std::vector<uint8_t>& bytes, uint64_t diskBytes = 0) {
    auto data = std::make_shared<std::vector<uint8_t>>(bytes);
    CMemoryHandle h(data);
    std::vector<LayoutEntry> out;
    int err = 0;
    EXPECT_EQ(ReadDriveLayout(&h, diskBytes ? diskBytes : bytes.size(), 512, out, &err), 0);
    return out;
}

void ExpectMatches(const LayoutEntry& e, const SfdiskPart& p, uint32_t number) {
    EXPECT_EQ(e.StartingOffset, p.start * 512) << number;
    EXPECT_EQ(e.PartitionLength, p.size * 512) << number;
    EXPECT_EQ(e.PartitionType, p.type) << number;
    EXPECT_EQ(e.PartitionNumber, number);
    EXPECT_EQ(e.BootIndicator, p.bootable) << number;
}

#define REQUIRE_IMAGE(img) \
    if (!(img).ok()) GTEST_SKIP() << "sfdisk unavailable or failed"

// Sets one 16-byte table entry of the sector at byte `sectorOff`.
void PatchEntry(std::vector<uint8_t>& disk, uint64_t sectorOff, int slot, uint8_t type, uint32_t start, uint32_t count) {
    std::span<uint8_t> s(disk.data() + sectorOff, 512);
    size_t off = 446 + 16 * static_cast<size_t>(slot);
    s[off + 4] = type;
    le::put32(s, off + 8, start);
    le::put32(s, off + 12, count);
}

const char* kExtendedScript =
    "label: dos\\n"
    "start=2048,size=2048,type=83,bootable\\n"
    "start=4096,size=8192,type=5\\n"
    "start=6144,size=2048,type=7\\n"
    "start=10240,size=2048,type=c\\n";

}  // namespace

TEST(DriveLayout, PrimaryPartitions) {
    SfdiskImage img(
        "label: dos\\n"
        "start=2048,size=4096,type=c\\n"
        "start=6144,size=4096,type=7,bootable\\n"
        "start=10240,size=2048,type=83\\n");
    REQUIRE_IMAGE(img);
    ASSERT_EQ(img.parts.size(), 3u);
    int rc = -1;
    auto layout = LayoutOf(img.path(), &rc);
    EXPECT_EQ(rc, 0);
    ASSERT_EQ(layout.size(), 4u);
    for (int slot = 0; slot < 3; ++slot) {
        ExpectMatches(layout[slot], img.parts[slot + 1], slot + 1);
        EXPECT_EQ(layout[slot].HiddenSectors, img.parts[slot + 1].start);
    }
    // The empty fourth slot is listed with type 0.
    EXPECT_EQ(layout[3].PartitionType, 0);
    EXPECT_EQ(layout[3].PartitionLength, 0u);
    EXPECT_EQ(layout[3].PartitionNumber, 0u);

    DriveLayoutEx ex = LayoutExOf(img.path());
    EXPECT_EQ(ex.Style, PartitionStyle::Mbr);
    ASSERT_EQ(ex.Entries.size(), 4u);
    EXPECT_EQ(ex.Entries[0].MbrType, 0x0C);
    EXPECT_EQ(ex.Entries[1].MbrType, 0x07);
}

TEST(DriveLayout, ExtendedContainerWithTwoLogicalPartitions) {
    SfdiskImage img(kExtendedScript);
    REQUIRE_IMAGE(img);
    ASSERT_EQ(img.parts.size(), 4u);  // 1, 2, 5, 6
    auto layout = LayoutOf(img.path());
    // Four slots, then logical 5 with its link, then logical 6 (last record, no link).
    ASSERT_EQ(layout.size(), 7u);
    ExpectMatches(layout[0], img.parts[1], 1);
    ExpectMatches(layout[1], img.parts[2], 2);
    EXPECT_EQ(layout[2].PartitionType, 0);
    EXPECT_EQ(layout[3].PartitionType, 0);

    const LayoutEntry& l5 = layout[4];
    const LayoutEntry& link = layout[5];
    const LayoutEntry& l6 = layout[6];
    ExpectMatches(l5, img.parts[5], 5);
    ExpectMatches(l6, img.parts[6], 6);
    // The first record sits at the container's first sector; hidden sectors
    // count from each logical partition's own record.
    EXPECT_EQ(l5.HiddenSectors, img.parts[5].start - img.parts[2].start);
    EXPECT_EQ(link.PartitionType, 0x05);
    EXPECT_EQ(link.PartitionNumber, 0u);
    uint64_t secondRecord = link.StartingOffset / 512;
    EXPECT_GT(secondRecord, img.parts[5].start + img.parts[5].size - 1);
    EXPECT_EQ(secondRecord + l6.HiddenSectors, img.parts[6].start);
    EXPECT_LE(link.StartingOffset + link.PartitionLength, (img.parts[2].start + img.parts[2].size) * 512);
    // Logical partitions never look like primaries: hidden sectors differ from the start.
    EXPECT_NE(l5.HiddenSectors, l5.StartingOffset / 512);
}

TEST(DriveLayout, EmptyTable) {
    SfdiskImage img("label: dos\\n");
    REQUIRE_IMAGE(img);
    auto layout = LayoutOf(img.path());
    ASSERT_EQ(layout.size(), 4u);
    for (const auto& e : layout) {
        EXPECT_EQ(e.PartitionType, 0);
        EXPECT_EQ(e.PartitionLength, 0u);
    }
    EXPECT_EQ(LayoutExOf(img.path()).Style, PartitionStyle::Mbr);
}

TEST(DriveLayout, GptDisk) {
    SfdiskImage img(
        "label: gpt\\n"
        "start=2048,size=4096,type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B\\n"
        "start=6144,size=4096,type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\\n");
    REQUIRE_IMAGE(img);
    DriveLayoutEx ex = LayoutExOf(img.path());
    EXPECT_EQ(ex.Style, PartitionStyle::Gpt);
    ASSERT_EQ(ex.Entries.size(), 2u);
    // Type GUIDs in their on-disk byte order (first three fields little-endian).
    const std::array<uint8_t, 16> efi = {0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11,
                                         0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B};
    const std::array<uint8_t, 16> basicData = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                               0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};
    EXPECT_EQ(ex.Entries[0].GptType, efi);
    EXPECT_EQ(ex.Entries[1].GptType, basicData);
    // The legacy layout shows the protective entry.
    auto layout = LayoutOf(img.path());
    ASSERT_EQ(layout.size(), 4u);
    EXPECT_EQ(layout[0].PartitionType, 0xEE);
}

TEST(DriveLayout, ProtectiveEntryWithoutGptHeaderIsMbr) {
    SfdiskImage img("label: dos\\nstart=1,size=16383,type=ee\\n");
    REQUIRE_IMAGE(img);
    EXPECT_EQ(LayoutExOf(img.path()).Style, PartitionStyle::Mbr);
}

// ---- GPT disks made by sgdisk, read whole and damaged ----

namespace {

// A GUID's text in GPT's on-disk byte order.
std::array<uint8_t, 16> GuidBytes(const std::string& text) {
    std::array<uint8_t, 16> t{};
    for (size_t i = 0, k = 0; i + 1 < text.size() && k < 16; ++i) {
        if (text[i] == '-') continue;
        t[k++] = static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16));
        ++i;
    }
    return {t[3], t[2], t[1], t[0], t[5], t[4], t[7], t[6], t[8], t[9], t[10], t[11], t[12], t[13], t[14], t[15]};
}

struct OraclePart {
    uint32_t number;
    uint64_t start, size;
    std::string type, uuid, name;
};

// sfdisk's view of a GPT image (sfdisk -J), the oracle.
std::vector<OraclePart> SfdiskGpt(const std::string& path) {
    std::vector<OraclePart> parts;
    const std::string json = testutil::Capture("sfdisk -J " + path);
    std::regex part(R"re("node": "[^"]*?(\d+)",\s*"start": (\d+),\s*"size": (\d+),\s*"type": "([^"]+)",\s*"uuid": "([^"]+)"(,\s*"name": "([^"]*)")?)re");
    for (std::sregex_iterator it(json.begin(), json.end(), part), end; it != end; ++it)
        parts.push_back({static_cast<uint32_t>(std::stoul((*it)[1])), std::stoull((*it)[2]), std::stoull((*it)[3]),
                         (*it)[4], (*it)[5], (*it)[7].matched ? std::string((*it)[7]) : std::string()});
    return parts;
}

std::string Narrow(const std::u16string& s) { return std::string(s.begin(), s.end()); }

DriveLayoutEx LayoutExOfBytes(const std::vector<uint8_t>& bytes) {
    auto data = std::make_shared<std::vector<uint8_t>>(bytes);
    CMemoryHandle h(data);
    DriveLayoutEx ex;
    int err = 0;
    EXPECT_EQ(ReadDriveLayoutEx(&h, bytes.size(), 512, ex, &err), 0);
    return ex;
}

// Recomputes the header CRC of the header at `lba`, after the entry array's
// when `array` is set.
void FixGptCrcs(std::vector<uint8_t>& disk, uint64_t lba, bool array = false) {
    std::span<uint8_t> hdr(disk.data() + lba * 512, 512);
    if (array) {
        const uint64_t entries = le::u64(hdr, 72);
        const size_t bytes = size_t{le::u32(hdr, 80)} * le::u32(hdr, 84);
        le::put32(hdr, 88, static_cast<uint32_t>(crc32(0, disk.data() + entries * 512, static_cast<uInt>(bytes))));
    }
    le::put32(hdr, 16, 0);
    le::put32(hdr, 16, static_cast<uint32_t>(crc32(0, hdr.data(), le::u32(hdr, 12))));
}

class GptImage : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testutil::HaveTool("sgdisk") || !testutil::HaveTool("sfdisk")) GTEST_SKIP() << "gdisk or sfdisk missing";
        path = dir / "gpt.img";
        // Slot 3 stays empty: the fourth partition keeps number 4.
        ASSERT_EQ(testutil::Run("truncate -s 16M " + path + " && sgdisk -n 1:2048:+2M -t 1:ef00 -c 1:'EFI system' "
                                "-n 2:0:+3M -t 2:0700 -c 2:'Fotos 2019' -n 4:0:+1M -t 4:8300 " + path + " >/dev/null"),
                  0);
        oracle = SfdiskGpt(path);
        ASSERT_EQ(oracle.size(), 3u);
        bytes = ReadAll(path);
        last = bytes.size() / 512 - 1;
    }
    void ExpectTheOraclesPartitions(const DriveLayoutEx& ex) {
        ASSERT_EQ(ex.Entries.size(), oracle.size());
        for (size_t i = 0; i < oracle.size(); ++i) {
            const LayoutExEntry& e = ex.Entries[i];
            const OraclePart& o = oracle[i];
            EXPECT_EQ(e.PartitionNumber, o.number);
            EXPECT_EQ(e.StartingOffset, o.start * 512);
            EXPECT_EQ(e.PartitionLength, o.size * 512);
            EXPECT_EQ(e.GptType, GuidBytes(o.type)) << o.type;
            EXPECT_EQ(e.GptId, GuidBytes(o.uuid)) << o.uuid;
            EXPECT_EQ(Narrow(e.Name), o.name);
        }
    }
    testutil::TempDir dir;
    std::string path;
    std::vector<OraclePart> oracle;
    std::vector<uint8_t> bytes;
    uint64_t last = 0;  // the backup header's LBA
};

}  // namespace

TEST_F(GptImage, PartitionsNamesAndGuidsAsSfdiskReadsThem) {
    DriveLayoutEx ex = LayoutExOf(path);
    EXPECT_EQ(ex.Style, PartitionStyle::Gpt);
    EXPECT_TRUE(ex.Readable);
    EXPECT_FALSE(ex.FromBackup);
    ExpectTheOraclesPartitions(ex);
}

TEST_F(GptImage, AHybridMbrIsReadAsItsGpt) {
    ASSERT_EQ(testutil::Run("sgdisk -h 2 " + path + " >/dev/null"), 0);
    auto layout = LayoutOf(path);
    ASSERT_EQ(layout.size(), 4u);
    EXPECT_EQ(layout[0].PartitionType, 0xEE);  // the legacy view: protective entry and the mirrored partition
    EXPECT_EQ(layout[1].PartitionType, 0x07);
    DriveLayoutEx ex = LayoutExOf(path);
    EXPECT_EQ(ex.Style, PartitionStyle::Gpt);
    ExpectTheOraclesPartitions(ex);
}

TEST_F(GptImage, ADamagedPrimaryGivesWayToTheBackup) {
    struct Damage {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> apply;
    } cases[] = {
        {"header CRC", [](auto& d) { d[512 + 100 - 8] ^= 0x01; d[512 + 16] ^= 0x40; }},
        {"own LBA", [](auto& d) { d[512 + 24] = 7; FixGptCrcs(d, 1); }},
        {"entry array CRC", [](auto& d) { d[1024 + 128 + 60] ^= 0x20; }},  // a letter of a name
        {"header wiped", [](auto& d) { std::fill(d.begin() + 512, d.begin() + 1024, 0); }},
        {"entry size", [](auto& d) { le::put32(std::span<uint8_t>(d.data() + 512, 512), 84, 100); FixGptCrcs(d, 1); }},
        {"huge entry count", [](auto& d) { le::put32(std::span<uint8_t>(d.data() + 512, 512), 80, 0xFFFFFFFF); FixGptCrcs(d, 1); }},
        {"array past the disk", [](auto& d) { le::put64(std::span<uint8_t>(d.data() + 512, 512), 72, 1ull << 40); FixGptCrcs(d, 1); }},
    };
    for (const Damage& c : cases) {
        auto copy = bytes;
        c.apply(copy);
        DriveLayoutEx ex = LayoutExOfBytes(copy);
        EXPECT_EQ(ex.Style, PartitionStyle::Gpt) << c.what;
        EXPECT_TRUE(ex.Readable) << c.what;
        EXPECT_TRUE(ex.FromBackup) << c.what;
        ExpectTheOraclesPartitions(ex);
    }
}

TEST_F(GptImage, BothCopiesDamagedLeaveAnUnreadableGpt) {
    auto copy = bytes;
    copy[512 + 16] ^= 0x01;                   // primary header CRC
    copy[last * 512 + 88] ^= 0x01;            // backup's entry array CRC
    DriveLayoutEx ex = LayoutExOfBytes(copy);
    EXPECT_EQ(ex.Style, PartitionStyle::Gpt);
    EXPECT_FALSE(ex.Readable);
    EXPECT_TRUE(ex.Entries.empty());
    // A disk cut short: the usable area runs past its end and the backup is gone.
    copy = bytes;
    copy.resize(copy.size() / 2);
    ex = LayoutExOfBytes(copy);
    EXPECT_EQ(ex.Style, PartitionStyle::Gpt);
    EXPECT_FALSE(ex.Readable);
}

TEST_F(GptImage, EntriesOutsideTheUsableAreaAreLeftOut) {
    auto copy = bytes;
    // Partition 2 ends past the last usable LBA; the CRCs are made right.
    le::put64(std::span<uint8_t>(copy.data() + 1024 + 128, 128), 40, last);
    // Partition 4 ends before it starts.
    le::put64(std::span<uint8_t>(copy.data() + 1024 + 3 * 128, 128), 40, 100);
    FixGptCrcs(copy, 1, true);
    DriveLayoutEx ex = LayoutExOfBytes(copy);
    EXPECT_FALSE(ex.FromBackup);
    ASSERT_EQ(ex.Entries.size(), 1u);
    EXPECT_EQ(ex.Entries[0].PartitionNumber, 1u);
}

TEST_F(GptImage, AProtectiveEntryWithoutAnyGptIsAnMbrDisk) {
    auto copy = bytes;
    std::fill(copy.begin() + 512, copy.begin() + 1024, 0);
    std::fill(copy.begin() + static_cast<std::ptrdiff_t>(last * 512), copy.end(), 0);
    EXPECT_EQ(LayoutExOfBytes(copy).Style, PartitionStyle::Mbr);
}

TEST(DriveLayout, RawDisk) {
    std::vector<uint8_t> zeros(1 << 20);
    auto layout = LayoutOfBytes(zeros);
    ASSERT_EQ(layout.size(), 4u);
    for (const auto& e : layout) EXPECT_EQ(e.PartitionType, 0);
    auto data = std::make_shared<std::vector<uint8_t>>(zeros);
    CMemoryHandle h(data);
    DriveLayoutEx ex;
    int err = 0;
    EXPECT_EQ(ReadDriveLayoutEx(&h, zeros.size(), 512, ex, &err), 0);
    EXPECT_EQ(ex.Style, PartitionStyle::Raw);
}

TEST(DriveLayout, UnreadableMasterBootRecordFails) {
    auto data = std::make_shared<std::vector<uint8_t>>(1 << 20);
    CMemoryHandle h(data);
    h.SetBadSectors({0});
    std::vector<LayoutEntry> out;
    DriveLayoutEx ex;
    int err = 0;
    EXPECT_EQ(ReadDriveLayout(&h, data->size(), 512, out, &err), -1);
    EXPECT_EQ(err, EIO);
    err = 0;
    EXPECT_EQ(ReadDriveLayoutEx(&h, data->size(), 512, ex, &err), -1);
    EXPECT_EQ(err, EIO);
}

TEST(DriveLayout, LoopingChainEndsTheWalk) {
    SfdiskImage img(kExtendedScript);
    REQUIRE_IMAGE(img);
    auto bytes = img.Bytes();
    uint64_t firstRecord = img.parts[2].start * 512;
    // The first record's link points back at the first record itself.
    PatchEntry(bytes, firstRecord, 1, 0x05, 0, 2048);
    LogCapture cap;
    auto layout = LayoutOfBytes(bytes);
    ASSERT_EQ(layout.size(), 6u);  // four slots, logical 5, the link
    ExpectMatches(layout[4], img.parts[5], 5);
    EXPECT_EQ(layout[5].StartingOffset, firstRecord);
    EXPECT_NE(cap.Text().find("loop in the extended partition chain"), std::string::npos) << cap.Text();

    // A loop over two records: the second one links back to the first.
    bytes = img.Bytes();
    uint64_t secondRecord = LayoutOfBytes(bytes)[5].StartingOffset;
    PatchEntry(bytes, secondRecord, 1, 0x05, 0, 2048);
    layout = LayoutOfBytes(bytes);
    ASSERT_EQ(layout.size(), 8u);  // 5, link, 6, link back; then the walk ends
    EXPECT_EQ(layout[6].PartitionNumber, 6u);
    EXPECT_EQ(layout[7].StartingOffset, firstRecord);
}

TEST(DriveLayout, LinkLeavingTheDiskEndsTheWalk) {
    SfdiskImage img(kExtendedScript);
    REQUIRE_IMAGE(img);
    auto bytes = img.Bytes();
    PatchEntry(bytes, img.parts[2].start * 512, 1, 0x05, 0x7FFFFFF0, 2048);
    LogCapture cap;
    auto layout = LayoutOfBytes(bytes);
    ASSERT_EQ(layout.size(), 6u);
    EXPECT_EQ(layout[5].PartitionType, 0x05);
    EXPECT_NE(cap.Text().find("lies outside the disk"), std::string::npos) << cap.Text();

    // A container that starts outside the disk yields only the four slots.
    bytes = img.Bytes();
    PatchEntry(bytes, 0, 1, 0x05, 0xFFFFFFF0, 100);
    layout = LayoutOfBytes(bytes);
    EXPECT_EQ(layout.size(), 4u);
}

TEST(DriveLayout, AtMostFiftyOneEntries) {
    // 30 logical partitions would need 4 + 30 + 29 entries.
    std::string script = "label: dos\\nstart=2048,size=129024,type=5\\n";  // up to 64 MiB
    for (int i = 0; i < 30; ++i) script += "start=" + std::to_string(4096 + i * 4096) + ",size=2048,type=83\\n";
    SfdiskImage img(script, 64ull << 20);
    REQUIRE_IMAGE(img);
    ASSERT_EQ(img.parts.size(), 31u);
    LogCapture cap;
    auto layout = LayoutOf(img.path());
    ASSERT_EQ(layout.size(), kMaxLayoutEntries);
    // 4 slots + 24 logical partitions (5..28) + 23 links.
    int logical = 0;
    for (size_t i = 4; i < layout.size(); ++i) {
        if (layout[i].PartitionType == 0x05) continue;
        ++logical;
        ASSERT_TRUE(img.parts.count(static_cast<int>(layout[i].PartitionNumber)));
        ExpectMatches(layout[i], img.parts[static_cast<int>(layout[i].PartitionNumber)], layout[i].PartitionNumber);
    }
    EXPECT_EQ(logical, 24);
    EXPECT_EQ(layout.back().PartitionNumber, 28u);
    EXPECT_NE(cap.Text().find("more than 51 entries"), std::string::npos);
}

TEST(DriveLayout, GarbageInTheLastSlotsOfAnExtendedRecord) {
    SfdiskImage img(kExtendedScript);
    REQUIRE_IMAGE(img);
    auto bytes = img.Bytes();
    uint64_t firstRecord = img.parts[2].start * 512;
    // Slot 3 of the first record points far outside the container: the
    // kernel ignores it, and so must the numbering.
    PatchEntry(bytes, firstRecord, 3, 0x83, 0x100000, 0x100000);
    auto layout = LayoutOfBytes(bytes);
    ASSERT_EQ(layout.size(), 7u);
    ExpectMatches(layout[6], img.parts[6], 6);
    // The same entry in slot 2 but inside the container counts: it becomes
    // logical 6 and the next record's partition logical 7.
    bytes = img.Bytes();
    PatchEntry(bytes, firstRecord, 2, 0x83, 1, 100);
    layout = LayoutOfBytes(bytes);
    ASSERT_EQ(layout.size(), 8u);
    EXPECT_EQ(layout[5].PartitionNumber, 6u);
    EXPECT_EQ(layout[5].StartingOffset, firstRecord + 512);
    EXPECT_EQ(layout[7].PartitionNumber, 7u);
}

TEST(DriveLayout, InvalidBootFlagsMeanNoTable) {
    SfdiskImage img(kExtendedScript);
    REQUIRE_IMAGE(img);
    auto bytes = img.Bytes();
    bytes[446 + 16] = 0x12;
    auto layout = LayoutOfBytes(bytes);
    ASSERT_EQ(layout.size(), 4u);
    for (const auto& e : layout) EXPECT_EQ(e.PartitionType, 0);
}

TEST(DriveLayout, DiskWithoutTableHoldingFat32IsOneVolume) {
    if (!testutil::HaveTool("mkfs.fat")) GTEST_SKIP();
    testutil::TempDir dir;
    std::string path = dir / "card.img";
    ASSERT_EQ(testutil::Run("truncate -s 64M " + path + " && mkfs.fat -F 32 -n CARD " + path + " >/dev/null"), 0);
    auto layout = LayoutOf(path);
    ASSERT_EQ(layout.size(), 4u);
    EXPECT_EQ(layout[0].StartingOffset, 0u);
    EXPECT_EQ(layout[0].PartitionLength, 64ull << 20);
    EXPECT_EQ(layout[0].PartitionType, 0x0C);
    EXPECT_EQ(layout[0].HiddenSectors, 0u);
    EXPECT_EQ(layout[1].PartitionType, 0);
    EXPECT_EQ(LayoutExOf(path).Style, PartitionStyle::Mbr);
}

TEST(DriveLayout, MemoryDiskThroughThePlatform) {
    SfdiskImage img(kExtendedScript);
    REQUIRE_IMAGE(img);
    auto bytes = std::make_shared<std::vector<uint8_t>>(img.Bytes());
    RegisterMemoryDisk("mem:layout", bytes);
    auto fromMemory = LayoutOf("mem:layout");
    UnregisterMemoryDisk("mem:layout");
    auto fromFile = LayoutOf(img.path());
    ASSERT_EQ(fromMemory.size(), fromFile.size());
    for (size_t i = 0; i < fromFile.size(); ++i) {
        EXPECT_EQ(fromMemory[i].StartingOffset, fromFile[i].StartingOffset);
        EXPECT_EQ(fromMemory[i].PartitionNumber, fromFile[i].PartitionNumber);
    }
}

TEST(DriveLayout, RandomTablesEndTheWalkWithinBounds) {
    // Tables of random bytes over a small disk: every answer stays within
    // 51 entries, and a disk claimed larger than its bytes only gives short reads.
    LogCapture cap;  // the walk logs every loop and stray record
    std::mt19937 rng(20261209);
    size_t longest = 0;
    for (int round = 0; round < 600; ++round) {
        auto data = std::make_shared<std::vector<uint8_t>>(64 * 512);
        for (auto& b : *data) b = static_cast<uint8_t>(rng());
        for (size_t s = 0; s < 64; ++s) {
            (*data)[s * 512 + 510] = 0x55;
            (*data)[s * 512 + 511] = 0xAA;
            // Small starts and counts keep many links inside the disk, and
            // valid boot flags make most tables count.
            for (int slot = 0; slot < 4; ++slot) {
                size_t off = s * 512 + 446 + 16 * slot;
                (*data)[off] = (rng() & 1) ? 0 : 0x80;
                if (rng() % 3 == 0) (*data)[off + 4] = 0x05;
                le::put32(std::span<uint8_t>(data->data() + s * 512, 512), 446 + 16 * slot + 8, rng() % 80);
            }
        }
        CMemoryHandle h(data);
        std::vector<LayoutEntry> out;
        DriveLayoutEx ex;
        int err = 0;
        uint64_t claimed = (round % 2) ? data->size() : data->size() * 4;
        ASSERT_EQ(ReadDriveLayout(&h, claimed, 512, out, &err), 0);
        ASSERT_GE(out.size(), 4u);
        ASSERT_LE(out.size(), kMaxLayoutEntries);
        longest = std::max(longest, out.size());
        ASSERT_EQ(ReadDriveLayoutEx(&h, claimed, 512, ex, &err), 0);
        ASSERT_LE(ex.Entries.size(), kMaxLayoutEntries);
    }
    EXPECT_GT(longest, 20u);  // some chains ran deep
}
