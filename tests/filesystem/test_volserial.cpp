#include "filesystem/volserial.h"

#include <gtest/gtest.h>

#include <vector>

#include "testutil.h"

// Each file system made by its own tool, its serial read back by blkid.
TEST(VolumeSerialText, AsBlkidReadsItForEveryFileSystem) {
    if (!testutil::HaveTool("blkid")) GTEST_SKIP() << "no blkid";
    const struct {
        const char* tool;
        const char* make;  // formats "$f"
        int mib;
    } cases[] = {
        {"mkfs.fat", "mkfs.fat -F 32 -s 1 -i 1A2B3C4D \"$f\"", 40},
        {"mkfs.fat", "mkfs.fat -F 16 -i 00C0FFEE \"$f\"", 16},
        {"mkfs.fat", "mkfs.fat -F 12 \"$f\"", 2},
        {"mkntfs", "mkntfs -F -Q -q \"$f\"", 8},
        {"mkfs.exfat", "mkfs.exfat \"$f\"", 8},
    };
    testutil::TempDir dir;
    int made = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.make);
        if (!testutil::HaveTool(c.tool)) continue;
        const std::string f = dir / "fs.img";
        ASSERT_EQ(testutil::Run("rm -f " + f + " && truncate -s " + std::to_string(c.mib) + "M " + f + " && f=" + f +
                                " && " + c.make + " >/dev/null 2>&1"),
                  0);
        std::string uuid = testutil::Capture("blkid -p -o value -s UUID " + f);
        while (!uuid.empty() && uuid.back() == '\n') uuid.pop_back();
        ASSERT_FALSE(uuid.empty());
        std::vector<uint8_t> boot = testutil::ReadFileBytes(f);
        boot.resize(512);
        EXPECT_EQ(VolumeSerialText(boot), uuid);
        ++made;
    }
    EXPECT_GE(made, 3);
}

TEST(VolumeSerialText, NothingForOtherSectors) {
    std::vector<uint8_t> sector(512, 0);
    EXPECT_EQ(VolumeSerialText(sector), "");
    sector[510] = 0x55;
    sector[511] = 0xAA;  // an MBR without a file system
    EXPECT_EQ(VolumeSerialText(sector), "");
    const char fat32[] = "FAT32   ";
    std::copy(fat32, fat32 + 8, sector.begin() + 0x52);
    EXPECT_EQ(VolumeSerialText(sector), "") << "no extended boot signature: no serial";
    sector[0x42] = 0x29;
    sector[0x43] = 0x78;
    sector[0x44] = 0x56;
    sector[0x45] = 0x34;
    sector[0x46] = 0x12;
    EXPECT_EQ(VolumeSerialText(sector), "1234-5678");
    EXPECT_EQ(VolumeSerialText(std::span<const uint8_t>(sector.data(), 100)), "") << "short";
}
