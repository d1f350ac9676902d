#include "volphotorev/contentsniff.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "io/deviceio.h"
#include "io/platform/memory_handle.h"

namespace {

struct Volume {
    explicit Volume(uint64_t sectors)
        : bytes(std::make_shared<std::vector<uint8_t>>(sectors * SECTOR_SIZE, 'x')), handle(bytes, true),
          device(&handle, 0) {}
    void Put(uint64_t sector, const std::string& head) {
        std::memcpy(bytes->data() + sector * SECTOR_SIZE, head.data(), head.size());
    }
    std::shared_ptr<std::vector<uint8_t>> bytes;
    CMemoryHandle handle;
    CVolDevice device;
};

const std::string kJpeg("\xFF\xD8\xFF\xE1", 4);
const std::string kPng("\x89PNG\r\n\x1A\n", 8);
// A Fujifilm RAF: its magic, the format version and at 60 the directory's version.
const std::string kRaf = std::string("FUJIFILMCCD-RAW 0201FF129502X-T2", 32) + std::string(28, '\0') + "0100";

// Files gathered in walk order, not disk order: each that begins with a
// photo's signature is given back once, in disk order, with the format the
// signature names; files close together share a read.
TEST(ContentSniffer, ReadsNearbyFilesTogetherInDiskOrder) {
    std::vector<std::pair<uint64_t, std::string>> every100;  // 0, 100, ..., 3000
    for (uint64_t s = 0; s <= 3000; s += 100) every100.emplace_back(s, s == 0 || s == 2100 ? kJpeg : "text");
    const struct {
        const char* what;
        std::vector<std::pair<uint64_t, std::string>> files;  // first sector, what it begins with
        std::vector<std::pair<uint64_t, PhotoCategory>> found;
        size_t reads;
    } cases[] = {
        {"small files side by side", {{116, kPng}, {100, kJpeg}, {108, "text"}, {124, "BM"}},
         {{100, Jpg}, {116, Png}, {124, Bmp}}, 1},
        {"far apart", {{5003, kRaf}, {100, kJpeg}, {2000, "text"}}, {{100, Jpg}, {5003, Raw}}, 3},
        {"close together over more than the longest read", every100, {{0, Jpg}, {2100, Jpg}}, 2},
        {"nothing gathered", {}, {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Volume v(8192);
        CContentSniffer sniffer(&v.device);
        for (const auto& [sector, head] : c.files) {
            v.Put(sector, head);
            sniffer.Add(sector, sector + 7);
        }
        std::vector<std::pair<uint64_t, PhotoCategory>> found;
        sniffer.Flush([&](uint64_t tag, const PhotoFormat& f) { found.emplace_back(tag - 7, f.category); });
        EXPECT_EQ(found, c.found);
        EXPECT_EQ(sniffer.Files(), c.files.size());
        EXPECT_EQ(v.handle.ReadCalls(), c.reads);
        EXPECT_EQ(sniffer.Reads(), c.reads);
        // The batch is gone: a second flush reads nothing.
        sniffer.Flush([&](uint64_t, const PhotoFormat&) { ADD_FAILURE() << "given back twice"; });
        EXPECT_EQ(v.handle.ReadCalls(), c.reads);
    }
}

TEST(ContentSniffer, AnUnreadableSectorStartsNothing) {
    Volume v(1024);
    v.Put(300, kJpeg);
    v.Put(310, kJpeg);
    FaultPlan plan;
    plan.unreadable = {{300, 1}};
    v.handle.SetFaults(plan);
    CContentSniffer sniffer(&v.device);
    sniffer.Add(300, 1);
    sniffer.Add(310, 2);
    std::vector<uint64_t> found;
    sniffer.Flush([&](uint64_t tag, const PhotoFormat&) { found.push_back(tag); });
    EXPECT_EQ(found, std::vector<uint64_t>{2});
}

TEST(ContentSniffer, GathersABatchAtATime) {
    Volume v(16);
    CContentSniffer sniffer(&v.device);
    for (size_t i = 0; i + 1 < CContentSniffer::kBatchFiles; ++i) sniffer.Add(i % 16, i);
    EXPECT_FALSE(sniffer.Full());
    sniffer.Add(3, 0);
    EXPECT_TRUE(sniffer.Full());
    sniffer.Flush([](uint64_t, const PhotoFormat&) {});
    EXPECT_FALSE(sniffer.Full());
}

}  // namespace
