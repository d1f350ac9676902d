#include "photoformats/bytecursor.h"

#include <gtest/gtest.h>

#include "sample_sources.h"

using namespace readertest;

TEST(ByteCursor, StepsStayInsideTheSource) {
    std::vector<uint8_t> bytes{1, 2, 3, 4, 5, 6, 7, 8, 9};
    for (bool views : {true, false}) {
        ChoppySource src(bytes, 2, views);
        CByteCursor c(src, 4);
        uint32_t v = 0;
        ASSERT_TRUE(c.Be16(v));
        EXPECT_EQ(v, 0x0102u);
        ASSERT_TRUE(c.Le32(v));
        EXPECT_EQ(v, 0x06050403u);
        EXPECT_FALSE(c.Skip(4));  // only 3 left: nothing moves
        EXPECT_EQ(c.Pos(), 6u);
        uint8_t four[4];
        EXPECT_FALSE(c.Read(four));
        EXPECT_EQ(c.Pos(), 6u);
        EXPECT_EQ(c.Byte(), 7);
        EXPECT_FALSE(c.Seek(10));
        ASSERT_TRUE(c.Seek(9));
        EXPECT_EQ(c.Byte(), -1);
        EXPECT_TRUE(c.Peek().empty());
        EXPECT_FALSE(c.Failed());
        ASSERT_TRUE(c.Seek(1));
        ASSERT_FALSE(c.Peek().empty());
        EXPECT_EQ(c.Peek()[0], 2);
    }
}

// The window that holds an unreadable byte fails as a whole: the walk ends
// at its start, and stays ended.
TEST(ByteCursor, UnreadableBytesEndTheWalk) {
    std::vector<uint8_t> bytes(100, 0xAB);
    ChoppySource src(bytes, 10, false, 35);
    CByteCursor c(src, 10);
    uint8_t buf[30];
    ASSERT_TRUE(c.Read(buf));
    EXPECT_FALSE(c.Failed());
    EXPECT_EQ(c.Byte(), -1);  // bytes 30..39 come in one window
    EXPECT_TRUE(c.Failed());
    EXPECT_EQ(c.Pos(), 30u);
    ASSERT_TRUE(c.Seek(0));
    EXPECT_TRUE(c.Peek().empty());
}

// A source that has less than its size promised ends where its bytes end.
TEST(ByteCursor, ShortSourceEndsWhereItsBytesEnd) {
    class Short : public IByteSource {
    public:
        int64_t Read(uint64_t pos, std::span<uint8_t> out) override {
            if (pos >= 5) return 0;
            size_t n = std::min<size_t>(out.size(), 5 - pos);
            std::fill_n(out.begin(), n, 1);
            return static_cast<int64_t>(n);
        }
        uint64_t Size() const override { return 1000; }
    } src;
    CByteCursor c(src);
    uint8_t buf[5];
    ASSERT_TRUE(c.Read(buf));
    EXPECT_EQ(c.Byte(), -1);
    EXPECT_FALSE(c.Failed());
    EXPECT_EQ(c.Left(), 0u);
}
