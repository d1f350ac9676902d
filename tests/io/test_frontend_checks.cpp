#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

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

// Runs `check` as the unprivileged user "nobody" (in a child process when
// this one is root) and gives back its result and reason.
std::pair<int, std::string> AsOrdinaryUser(const std::function<int(std::string&)>& check) {
    std::string reason;
    if (geteuid() != 0) {
        const int r = check(reason);
        return {r, reason};
    }
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return {-2, "pipe"};
    const pid_t child = fork();
    if (child == 0) {
        close(pipeFds[0]);
        int r = -2;
        if (setgid(65534) == 0 && setuid(65534) == 0) r = check(reason);
        const std::string out = std::to_string(r) + "\n" + reason;
        (void)!write(pipeFds[1], out.data(), out.size());
        _exit(0);
    }
    close(pipeFds[1]);
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
    close(pipeFds[0]);
    waitpid(child, nullptr, 0);
    const size_t newline = text.find('\n');
    if (newline == std::string::npos) return {-2, text};
    return {std::stoi(text.substr(0, newline)), text.substr(newline + 1)};
}

TEST(CheckImageFile, ReasonsAPersonCanActOn) {
    testutil::TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_TRUE(testutil::WriteFileBytes(dir / "card.img", std::vector<uint8_t>(512)));
    ASSERT_TRUE(testutil::WriteFileBytes(dir / "note.txt", std::vector<uint8_t>(25, 'x')));
    ASSERT_TRUE(testutil::WriteFileBytes(dir / "empty.img", {}));
    ASSERT_TRUE(testutil::WriteFileBytes(dir / "secret.img", std::vector<uint8_t>(4096)));
    ASSERT_EQ(chmod((dir / "secret.img").c_str(), 0600), 0);
    ASSERT_EQ(mkdir((dir / "folder").c_str(), 0755), 0);

    struct Case {
        std::string name;
        int result;
        std::string reason;
    } cases[] = {
        {"card.img", 0, ""},
        {"missing.img", -1, "no such file or directory"},
        {"folder", -1, "is a directory"},
        {"note.txt", -1, "the file holds 25 bytes, less than one sector of 512 bytes, so it cannot be a disk"},
        {"empty.img", -1, "the file holds 0 bytes, less than one sector of 512 bytes, so it cannot be a disk"},
    };
    for (const Case& c : cases) {
        std::string reason;
        EXPECT_EQ(CheckImageFile(dir / c.name, reason), c.result) << c.name;
        EXPECT_EQ(reason, c.reason) << c.name;
    }
    const auto denied = AsOrdinaryUser([&](std::string& reason) { return CheckImageFile(dir / "secret.img", reason); });
    EXPECT_EQ(denied, std::make_pair(-1, std::string("permission denied")));
}

TEST(CheckFolderWritable, ReasonsAPersonCanActOn) {
    testutil::TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_TRUE(testutil::WriteFileBytes(dir / "file", std::vector<uint8_t>(4)));
    ASSERT_EQ(mkdir((dir / "mine").c_str(), 0755), 0);
    std::string reason;
    EXPECT_EQ(CheckFolderWritable(dir / "mine", reason), 0);
    EXPECT_EQ(CheckFolderWritable(dir / "missing", reason), -1);
    EXPECT_EQ(reason, "no such file or directory");
    EXPECT_EQ(CheckFolderWritable(dir / "file", reason), -1);
    EXPECT_EQ(reason, "not a directory");
    // A folder nobody may write to but root.
    ASSERT_EQ(chmod((dir / "mine").c_str(), 0555), 0);
    const auto denied = AsOrdinaryUser([&](std::string& r) { return CheckFolderWritable(dir / "mine", r); });
    EXPECT_EQ(denied, std::make_pair(-1, std::string("permission denied")));
}

// A read-only mount refuses even root. Needs the right to mount.
TEST(CheckFolderWritable, ReadOnlyFileSystem) {
    testutil::TempDir dir;
    if (mount("tmpfs", dir.path().c_str(), "tmpfs", MS_RDONLY, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a read-only file system here";
    std::string reason;
    const int result = CheckFolderWritable(dir.path(), reason);
    umount(dir.path().c_str());
    EXPECT_EQ(result, -1);
    EXPECT_EQ(reason, "read-only file system");
}

TEST(ErrorReason, LowerCaseInsideASentence) {
    EXPECT_EQ(ErrorReason(EACCES), "permission denied");
    EXPECT_EQ(ErrorReason(EROFS), "read-only file system");
    EXPECT_EQ(ErrorReason(ENOENT), "no such file or directory");
}

}  // namespace
