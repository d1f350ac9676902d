#include "filesystem/ntfs_compress.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

// Whole files compressed by ntfs-3g and expanded by the recovery are checked
// against the originals in the CLI's tests; these are the blocks that only a
// damaged or hostile unit holds.

namespace {

using Bytes = std::vector<uint8_t>;

// "abc", then a reference 3 back and 9 long: "abcabcabcabc".
const Bytes kRepeat = {0x05, 0xB0, 0x08, 'a', 'b', 'c', 0x06, 0x20, 0x00, 0x00};

TEST(Lznt1, ReferencesOverlapAndBlocksEndInZeros) {
    Bytes out(4096 + 7, 0xEE);
    ASSERT_EQ(ntfs_lznt1_decompress(kRepeat, out), 4096);  // a short block is a whole one; then zeros
    EXPECT_EQ(std::string(out.begin(), out.begin() + 12), "abcabcabcabc");
    for (size_t i = 12; i < out.size(); ++i) ASSERT_EQ(out[i], 0) << i;

    // Less room than the block makes: only what fits is written.
    Bytes small(5, 0xEE);
    EXPECT_EQ(ntfs_lznt1_decompress(kRepeat, small), 5);
    EXPECT_EQ(std::string(small.begin(), small.end()), "abcab");

    // A block stored as it is, after the compressed one.
    Bytes in(kRepeat.begin(), kRepeat.end() - 2);
    in.push_back(0xFF);
    in.push_back(0x3F);
    for (int i = 0; i < 4096; ++i) in.push_back(static_cast<uint8_t>(i * 7));
    Bytes two(8192);
    ASSERT_EQ(ntfs_lznt1_decompress(in, two), 8192);
    EXPECT_EQ(two[4096 + 5], static_cast<uint8_t>(35));
}

TEST(Lznt1, DamagedBlocksAreRefused) {
    const struct {
        const char* what;
        Bytes in;
    } cases[] = {
        {"a reference before anything was made", {0x02, 0xB0, 0x01, 0x00, 0x20}},
        {"a reference further back than the block", {0x03, 0xB0, 0x02, 'a', 0x00, 0x10}},
        {"a block longer than the unit", {0xFF, 0xB0, 0x00, 'a'}},
        {"a reference cut off", {0x02, 0xB0, 0x02, 'a', 0x00}},
        {"a reference past the block's 4 KiB", {0x03, 0xB0, 0x02, 'a', 0xFF, 0x0F}},
    };
    for (const auto& c : cases) {
        Bytes out(4096, 0xEE);
        EXPECT_EQ(ntfs_lznt1_decompress(c.in, out), -1) << c.what;
    }
}

}  // namespace
