#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "io/platform/frontend_checks.h"
#include "testutil.h"

namespace {

// The /dev node of the block device holding `path`, or empty when the file
// system has none (tmpfs, overlay) or the node is missing.
std::string BlockDeviceOf(const std::string& path, std::string* parentDisk) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return {};
    const std::string sys =
        "/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    auto devName = [](const std::string& uevent) {
        std::ifstream f(uevent);
        std::string line;
        while (std::getline(f, line))
            if (line.rfind("DEVNAME=", 0) == 0) return "/dev/" + line.substr(8);
        return std::string();
    };
    const std::string node = devName(sys + "/uevent");
    struct stat dev {};
    if (node.empty() || stat(node.c_str(), &dev) != 0 || !S_ISBLK(dev.st_mode)) return {};
    if (parentDisk) *parentDisk = devName(sys + "/../uevent");
    return node;
}

TEST(PathIsOnDevice, ImagesAndOtherNodesNeverMatch) {
    testutil::TempDir dir;
    ASSERT_TRUE(testutil::WriteFileBytes(dir / "card.img", std::vector<uint8_t>(4096)));
    EXPECT_EQ(PathIsOnDevice(dir.path(), dir / "card.img", false), 0);
    EXPECT_EQ(PathIsOnDevice(dir.path(), dir / "card.img", true), 0);
    EXPECT_EQ(PathIsOnDevice(dir.path(), "/dev/null", true), 0);
    EXPECT_EQ(PathIsOnDevice(dir.path(), dir / "no-such-device", false), 0);
    EXPECT_EQ(PathIsOnDevice(dir / "no-such-folder", "/dev/null", false), -1);
}

TEST(PathIsOnDevice, FolderOnItsOwnDevice) {
    testutil::TempDir dir;
    std::string parent;
    const std::string device = BlockDeviceOf(dir.path(), &parent);
    if (device.empty()) GTEST_SKIP() << "the temporary folder is on no block device here";
    EXPECT_EQ(PathIsOnDevice(dir.path(), device, false), 1);
    EXPECT_EQ(PathIsOnDevice(dir.path(), device, true), 1);
    // A partition's folder is on its whole disk too, when the disk is asked for.
    if (!parent.empty() && parent != device) {
        EXPECT_EQ(PathIsOnDevice(dir.path(), parent, true), 1);
        EXPECT_EQ(PathIsOnDevice(dir.path(), parent, false), 0);
    }
}

TEST(DiskRights, MatchTheEffectiveUser) { EXPECT_EQ(HasDiskRights(), geteuid() == 0); }

}  // namespace
