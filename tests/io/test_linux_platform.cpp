#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/statvfs.h>

#include "io/deviceio.h"
#include "io/diskmgr.h"
#include "io/platform/linux/linux_sysfs.h"
#include "io/platform/memory_handle.h"
#include "testutil.h"

namespace fs = std::filesystem;

namespace {

// Restores the default disk sources after a test.
struct SourcesGuard {
    ~SourcesGuard() { SetDiskSources(true, {}); }
};

void Put(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text;
}

// A small /sys and udev tree: disks of every family, devices that must be
// left out, and partitions for mountinfo to point at.
class FakeSys {
public:
    FakeSys() {
        roots.sys = m_dir / "sys";
        roots.udevData = m_dir / "udev";
        fs::create_directories(roots.udevData);
        const std::string pci = "devices/pci0000:00/0000:00:1f.2";
        Disk("sda", pci + "/ata1/host0/target0:0:0/0:0:0:0", "8:0", 1000, "0", "ATA     ", "Samsung SSD 860 ");
        Disk("sdb", "devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0", "8:16", 500,
             "1", "Generic ", "STORAGE DEVICE  ");
        Put(roots.udevData + "/b8:16", "S:disk/by-id/usb-Generic\nE:ID_SERIAL_SHORT=000000001206\nE:ID_BUS=usb\n");
        Disk("sdaa", "devices/pci0000:00/0000:00:10.0/host2/target2:0:0/2:0:0:0", "65:160", 100, "0", "", "");
        Disk("sdc", "devices/pci0000:00/0000:00:14.0/usb2/2-2/2-2:1.0/host7/target7:0:0/7:0:0:0", "8:32", 0, "1",
             "Generic ", "SD/MMC  ");  // card reader without a card
        Disk("mmcblk0", "devices/platform/fe320000.mmc/mmc_host/mmc1/mmc1:aaaa", "179:0", 300, "0", "", "");
        Put(roots.sys + "/devices/platform/fe320000.mmc/mmc_host/mmc1/mmc1:aaaa/name", "SD32G\n");
        Put(roots.sys + "/devices/platform/fe320000.mmc/mmc_host/mmc1/mmc1:aaaa/serial", "0x1234abcd\n");
        Disk("mmcblk0boot0", "devices/platform/fe320000.mmc/mmc_host/mmc1/mmc1:aaaa", "179:8", 8, "0", "", "");
        Disk("nvme10n1", "devices/pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme10", "259:5", 900, "0", "", "");
        Disk("nvme2n1", "devices/pci0000:00/0000:00:1c.0/0000:3c:00.0/nvme/nvme2", "259:0", 900, "0", "", "");
        Put(roots.sys + "/devices/pci0000:00/0000:00:1c.0/0000:3c:00.0/nvme/nvme2/model", "WD Blue SN570 1TB    \n");
        Put(roots.sys + "/devices/pci0000:00/0000:00:1c.0/0000:3c:00.0/nvme/nvme2/serial", "22101Y800123  \n");
        Disk("nvme2c2n1", "devices/pci0000:00/0000:00:1c.0/0000:3c:00.0/nvme/nvme2", "259:9", 900, "0", "", "");
        Disk("vda", "devices/pci0000:00/0000:00:02.0/virtio1", "254:0", 2000, "0", "0x1af4", "");
        Put(roots.sys + "/block/vda/serial", "QM00001\n");
        for (const char* name : {"loop0", "zram0", "dm-0", "md127", "sr0", "ram0"})
            Disk(name, "devices/virtual", "7:0", 100, "0", "", "");

        Partition("sdb", "sdb1", "8:17", 2048, 400);
        Partition("sda", "sda2", "8:2", 4096, 900);
        Partition("loop0", "loop0p1", "259:100", 2048, 50);
    }

    linuxsys::Roots roots;

private:
    void Disk(const std::string& name, const std::string& parent, const std::string& dev, uint64_t size,
              const std::string& removable, const std::string& vendor, const std::string& model) {
        fs::path devDir = fs::path(roots.sys) / parent / "block" / name;
        Put(devDir / "size", std::to_string(size) + "\n");
        Put(devDir / "removable", removable + "\n");
        Put(devDir / "dev", dev + "\n");
        if (!vendor.empty()) Put(fs::path(roots.sys) / parent / "vendor", vendor + "\n");
        if (!model.empty()) Put(fs::path(roots.sys) / parent / "model", model + "\n");
        fs::create_directory_symlink(fs::path(roots.sys) / parent, devDir / "device");
        fs::create_directories(fs::path(roots.sys) / "block");
        fs::create_directory_symlink(devDir, fs::path(roots.sys) / "block" / name);
        Link(dev, devDir);
        m_devDirs[name] = devDir;
    }

    void Partition(const std::string& disk, const std::string& name, const std::string& dev, uint64_t start,
                   uint64_t size) {
        fs::path p = m_devDirs[disk] / name;
        Put(p / "partition", "1\n");
        Put(p / "start", std::to_string(start) + "\n");
        Put(p / "size", std::to_string(size) + "\n");
        Link(dev, p);
    }

    void Link(const std::string& dev, const fs::path& target) {
        fs::path link = fs::path(roots.sys) / "dev" / "block" / dev;
        fs::create_directories(link.parent_path());
        std::error_code ec;
        fs::create_directory_symlink(target, link, ec);  // the first device keeps a shared number
    }

    testutil::TempDir m_dir;
    std::map<std::string, fs::path> m_devDirs;
};

std::vector<std::string> Names(const std::vector<PlatformDiskInfo>& disks) {
    std::vector<std::string> names;
    for (const auto& d : disks) names.push_back(d.DeviceID.substr(5));
    return names;
}

const PlatformDiskInfo* Find(const std::vector<PlatformDiskInfo>& disks, const std::string& id) {
    for (const auto& d : disks)
        if (d.DeviceID == id) return &d;
    return nullptr;
}

}  // namespace

TEST(LinuxDiskNames, FamiliesAndExclusions) {
    for (const char* yes : {"sda", "sdaa", "hdc", "vdb", "xvda", "nvme0n1", "nvme12n3", "mmcblk0", "mmcblk10"})
        EXPECT_TRUE(linuxsys::IsListedDiskName(yes)) << yes;
    for (const char* no : {"loop0", "ram0", "zram0", "dm-0", "md127", "sr0", "sda1", "nvme0n1p1", "nvme0c0n1",
                           "mmcblk0p1", "mmcblk0boot0", "mmcblk0rpmb", "nvme0", "sd", "vd1"})
        EXPECT_FALSE(linuxsys::IsListedDiskName(no)) << no;
    std::vector<std::string> names = {"sdaa", "vda", "sdb", "nvme10n1", "sda", "nvme2n1", "sdz", "mmcblk1", "hda", "nvme2n10", "nvme2n2"};
    std::sort(names.begin(), names.end(), linuxsys::DiskNameLess);
    EXPECT_EQ(names, (std::vector<std::string>{"hda", "mmcblk1", "nvme2n1", "nvme2n2", "nvme2n10", "nvme10n1", "sda",
                                               "sdb", "sdz", "sdaa", "vda"}));
}

TEST(LinuxDiskList, FromAFakeSysfsTree) {
    FakeSys sys;
    auto disks = linuxsys::ListMachineDisks(sys.roots);
    // Not listed: the reader without a card, eMMC boot area, the multipath
    // node and the virtual devices.
    EXPECT_EQ(Names(disks), (std::vector<std::string>{"mmcblk0", "nvme2n1", "nvme10n1", "sda", "sdb", "sdaa", "vda"}));
    for (size_t i = 0; i < disks.size(); ++i) {
        EXPECT_EQ(disks[i].Index, i);
        EXPECT_EQ(disks[i].TotalHeads, 255u);
    }
    const auto* sda = Find(disks, "/dev/sda");
    ASSERT_TRUE(sda);
    EXPECT_EQ(sda->InterfaceType, "ATA");
    EXPECT_EQ(sda->Model, "ATA Samsung SSD 860");
    EXPECT_EQ(sda->MediaType, "Fixed hard disk media");
    const auto* sdb = Find(disks, "/dev/sdb");
    ASSERT_TRUE(sdb);
    EXPECT_EQ(sdb->InterfaceType, "USB");
    EXPECT_EQ(sdb->Model, "Generic STORAGE DEVICE");
    EXPECT_EQ(sdb->SerialNumber, "000000001206");
    EXPECT_EQ(sdb->MediaType, "Removable Media");
    EXPECT_EQ(Find(disks, "/dev/sdaa")->InterfaceType, "SCSI");
    const auto* mmc = Find(disks, "/dev/mmcblk0");
    EXPECT_EQ(mmc->InterfaceType, "SD");
    EXPECT_EQ(mmc->Model, "SD32G");
    EXPECT_EQ(mmc->SerialNumber, "0x1234abcd");
    const auto* nvme = Find(disks, "/dev/nvme2n1");
    EXPECT_EQ(nvme->InterfaceType, "NVMe");
    EXPECT_EQ(nvme->Model, "WD Blue SN570 1TB");
    EXPECT_EQ(nvme->SerialNumber, "22101Y800123");
    const auto* vda = Find(disks, "/dev/vda");
    EXPECT_EQ(vda->InterfaceType, "SCSI");
    EXPECT_EQ(vda->Model, "");  // a numeric PCI vendor id is no model
    EXPECT_EQ(vda->SerialNumber, "QM00001");
}

TEST(LinuxMountInfo, ParsesAndUnescapes) {
    std::string text =
        "26 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n"
        "40 26 8:17 / /media/my\\040card rw,nosuid shared:5 master:1 - vfat /dev/sdb1 rw,fmask=0022\n"
        "bad line\n"
        "41 26 x:y / /z rw - ext4 /dev/z rw\n"
        "42 26 0:45 / /run rw - tmpfs tmpfs rw\n";
    auto mounts = linuxsys::ParseMountInfo(text);
    ASSERT_EQ(mounts.size(), 3u);
    EXPECT_EQ(mounts[0].major, 254u);
    EXPECT_EQ(mounts[0].mountPoint, "/");
    EXPECT_EQ(mounts[1].major, 8u);
    EXPECT_EQ(mounts[1].minor, 17u);
    EXPECT_EQ(mounts[1].mountPoint, "/media/my card");
    EXPECT_EQ(mounts[1].fsType, "vfat");
    EXPECT_EQ(mounts[1].source, "/dev/sdb1");
    EXPECT_EQ(mounts[2].fsType, "tmpfs");
}

TEST(LinuxVolumes, FromMountInfoAndAFakeSysfsTree) {
    FakeSys sys;
    auto disks = linuxsys::ListMachineDisks(sys.roots);
    auto mounts = linuxsys::ParseMountInfo(
        "26 1 254:0 / / rw - ext4 /dev/vda rw\n"
        "50 26 8:17 /DCIM /srv/photos rw - vfat /dev/sdb1 rw\n"
        "51 26 8:17 / /media/card rw - vfat /dev/sdb1 rw\n"
        "52 26 8:17 / /media/again rw - vfat /dev/sdb1 rw\n"
        "53 26 8:2 / /home rw - ext4 /dev/sda2 rw\n"
        "54 26 259:100 / /mnt/loop rw - ext4 /dev/loop0p1 rw\n"
        "55 26 0:45 / /run rw - tmpfs tmpfs rw\n");
    auto vols = linuxsys::ListVolumes(mounts, disks, sys.roots);
    ASSERT_EQ(vols.size(), 3u);  // the loop device's disk is not listed
    EXPECT_EQ(vols[0].VolumeName, "/dev/vda");
    EXPECT_EQ(vols[0].StartingOffset, 0u);
    EXPECT_EQ(vols[0].ExtentLength, 2000u * 512);
    EXPECT_EQ(vols[0].DiskNumber, Find(disks, "/dev/vda")->Index);
    EXPECT_EQ(vols[1].VolumeName, "/dev/sdb1");
    EXPECT_EQ(vols[1].MountPath, "/media/card");  // the mount of the file system's root wins
    EXPECT_EQ(vols[1].StartingOffset, 2048u * 512);
    EXPECT_EQ(vols[1].ExtentLength, 400u * 512);
    EXPECT_EQ(vols[1].DiskNumber, Find(disks, "/dev/sdb")->Index);
    EXPECT_EQ(vols[2].VolumeName, "/dev/sda2");
    EXPECT_EQ(vols[2].DiskNumber, Find(disks, "/dev/sda")->Index);

    EXPECT_EQ(linuxsys::SystemVolume(mounts, sys.roots), "/dev/vda");
    // An overlay root has no system volume.
    mounts.push_back(linuxsys::ParseMountInfo("60 1 0:70 / / rw - overlay overlay rw\n")[0]);
    EXPECT_EQ(linuxsys::SystemVolume(mounts, sys.roots), "");
}

TEST(LinuxPlatform, MachineDiskList) {
    SourcesGuard guard;
    SetDiskSources(true, {});
    std::vector<PlatformDiskInfo> disks;
    int n = Platform().EnumDisks(disks);
    ASSERT_EQ(n, static_cast<int>(disks.size()));
    // Independent listing of the same /sys/block names.
    std::string expected = testutil::Capture(
        "for d in /sys/block/*; do n=${d##*/}; "
        "[[ $n =~ ^(sd[a-z]+|hd[a-z]+|vd[a-z]+|xvd[a-z]+|nvme[0-9]+n[0-9]+|mmcblk[0-9]+)$ ]] || continue; "
        "[ \"$(cat $d/size)\" != 0 ] && echo $n; done");
    std::vector<std::string> want;
    std::istringstream in(expected);
    for (std::string s; in >> s;) want.push_back(s);
    std::sort(want.begin(), want.end(), linuxsys::DiskNameLess);
    EXPECT_EQ(Names(disks), want);
    for (size_t i = 0; i < disks.size(); ++i) {
        const auto& d = disks[i];
        EXPECT_EQ(d.Index, i);
        EXPECT_EQ(d.DeviceID.rfind("/dev/", 0), 0u);
        EXPECT_TRUE(Platform().PathExists(d.DeviceID)) << d.DeviceID;
        EXPECT_TRUE(d.MediaType == "Removable Media" || d.MediaType == "Fixed hard disk media") << d.MediaType;
        EXPECT_NE(d.InterfaceType, "Image");
        EXPECT_FALSE(d.InterfaceType.empty());
    }
    if (disks.empty()) GTEST_SKIP() << "this machine shows no disks";
}

TEST(LinuxPlatform, ImageFilesFollowTheMachineDisks) {
    SourcesGuard guard;
    testutil::TempDir dir;
    std::string a = dir / "card.img", b = dir / "stick.img";
    SetDiskSources(true, {});
    std::vector<PlatformDiskInfo> machine;
    Platform().EnumDisks(machine);

    SetDiskSources(true, {a});
    AddImageFile(b);
    AddImageFile(a);  // already listed
    std::vector<PlatformDiskInfo> disks;
    ASSERT_EQ(Platform().EnumDisks(disks), static_cast<int>(machine.size() + 2));
    const auto& img = disks[machine.size()];
    EXPECT_EQ(img.DeviceID, a);
    EXPECT_EQ(img.Index, machine.size());
    EXPECT_EQ(img.InterfaceType, "Image");
    EXPECT_EQ(img.Model, "card.img");
    EXPECT_EQ(img.TotalHeads, 255u);
    EXPECT_EQ(disks.back().DeviceID, b);

    // The command line: exactly the images, numbered from 0, and no volumes.
    SetDiskSources(false, {b, a, b});
    ASSERT_EQ(Platform().EnumDisks(disks), 2);
    EXPECT_EQ(disks[0].DeviceID, b);
    EXPECT_EQ(disks[0].Index, 0u);
    EXPECT_EQ(disks[1].Model, "card.img");
    std::vector<PlatformVolume> vols;
    EXPECT_EQ(Platform().EnumVolumes(vols), 0);
}

TEST(LinuxPlatform, RootVolumeAndFreeSpace) {
    SourcesGuard guard;
    SetDiskSources(true, {});
    std::string system = Platform().GetSystemVolume();
    uint64_t freeBytes = 0;
    int err = 0;
    ASSERT_EQ(Platform().GetFreeBytes("/", freeBytes, &err), 0);
    struct statvfs sv;
    ASSERT_EQ(statvfs("/", &sv), 0);
    uint64_t oracle = static_cast<uint64_t>(sv.f_bfree) * sv.f_frsize;
    // Total free space, not the caller's share; the file system may change meanwhile.
    uint64_t diff = freeBytes > oracle ? freeBytes - oracle : oracle - freeBytes;
    EXPECT_LT(diff, 256ull << 20);
    EXPECT_EQ(Platform().GetFreeBytes("/no/such/folder", freeBytes, &err), -1);
    EXPECT_EQ(err, ENOENT);

    if (system.empty()) GTEST_SKIP() << "/ is not on a block device here";
    std::string name = system.substr(5);
    std::vector<PlatformDiskInfo> disks;
    Platform().EnumDisks(disks);
    std::vector<PlatformVolume> vols;
    Platform().EnumVolumes(vols);
    auto v = std::find_if(vols.begin(), vols.end(), [&](const PlatformVolume& x) { return x.VolumeName == system; });
    // Volumes whose disk is not listed (a logical volume, a loop device) are left out.
    std::string parent = testutil::Capture("basename \"$(dirname \"$(readlink -f /sys/class/block/" + name + ")\")\"");
    parent.erase(parent.find_last_not_of("\n") + 1);
    if (parent == "block") parent = name;  // a whole disk
    bool diskListed = std::any_of(disks.begin(), disks.end(), [&](const PlatformDiskInfo& d) { return d.DeviceID == "/dev/" + parent; });
    if (!diskListed) {
        EXPECT_EQ(v, vols.end());
        GTEST_SKIP() << "the disk under / is not listed";
    }
    ASSERT_NE(v, vols.end());
    EXPECT_EQ(v->MountPath, "/");
    std::string size = testutil::Capture("cat /sys/class/block/" + name + "/size");
    EXPECT_EQ(v->ExtentLength, std::stoull(size) * 512);
    EXPECT_EQ(disks[v->DiskNumber].DeviceID, "/dev/" + parent);
}

TEST(LinuxPlatform, VolumeLabelThroughBlkid) {
    if (!testutil::HaveTool("mkfs.fat")) GTEST_SKIP();
    testutil::TempDir dir;
    std::string path = dir / "card.img";
    ASSERT_EQ(testutil::Run("truncate -s 8M " + path + " && mkfs.fat -n HOLIDAY " + path + " >/dev/null"), 0);
    std::string label = "unchanged";
    EXPECT_EQ(Platform().GetVolumeLabel(path, label), 0);
    EXPECT_EQ(label, "HOLIDAY");
    std::string zeros = dir / "zeros.img";
    ASSERT_EQ(testutil::Run("truncate -s 1M " + zeros), 0);
    EXPECT_EQ(Platform().GetVolumeLabel(zeros, label), 0);
    EXPECT_EQ(label, "");
    EXPECT_EQ(Platform().GetVolumeLabel(dir / "missing.img", label), -1);
}

TEST(LinuxPlatform, OpenImagesDevicesAndMemoryDisks) {
    testutil::TempDir dir;
    int err = 0;
    EXPECT_FALSE(Platform().Open(dir.path(), true, &err));
    EXPECT_EQ(err, EISDIR);
    EXPECT_FALSE(Platform().Open(dir / "missing.img", true, &err));
    EXPECT_EQ(err, ENOENT);
    EXPECT_FALSE(Platform().Open("/dev/null", true, &err));
    EXPECT_EQ(err, ENOTBLK);

    // An image file: 100 MiB holds 12 whole cylinders of 255 x 63 sectors.
    std::string img = dir / "disk.img";
    ASSERT_EQ(testutil::Run("truncate -s 100M " + img), 0);
    DevHandle h = Platform().Open(img, true, &err);
    ASSERT_TRUE(h);
    DiskGeometry g;
    ASSERT_EQ(Platform().GetGeometry(h.get(), g, &err), 0);
    EXPECT_EQ(g.BytesPerSector, 512u);
    EXPECT_EQ(g.TracksPerCylinder, 255u);
    EXPECT_EQ(g.SectorsPerTrack, 63u);
    EXPECT_EQ(g.DiskSize, 100ull << 20);
    EXPECT_EQ(g.Cylinders, 12u);

    // A memory disk answers like an image file and shares its bytes.
    auto bytes = std::make_shared<std::vector<uint8_t>>(4096, 0);
    RegisterMemoryDisk("mem:card", bytes, {3});
    EXPECT_TRUE(Platform().PathExists("mem:card"));
    DevHandle m = Platform().Open("mem:card", false, &err);
    ASSERT_TRUE(m);
    ASSERT_EQ(Platform().GetGeometry(m.get(), g, &err), 0);
    EXPECT_EQ(g.DiskSize, 4096u);
    EXPECT_EQ(g.BytesPerSector, 512u);
    uint8_t buf[512];
    std::fill(buf, buf + 512, 0x42);
    EXPECT_EQ(DeviceWriteSectors(m.get(), 1, 1, buf), 1);
    EXPECT_EQ((*bytes)[512], 0x42);
    EXPECT_EQ(DeviceReadSectorsEx(m.get(), 3, 1, buf), 0);
    UnregisterMemoryDisk("mem:card");
    EXPECT_FALSE(Platform().PathExists("mem:card"));
    EXPECT_FALSE(Platform().Open("mem:card", true, &err));
}

TEST(LinuxPlatform, BlockDeviceGeometry) {
    SourcesGuard guard;
    SetDiskSources(true, {});
    std::vector<PlatformDiskInfo> disks;
    Platform().EnumDisks(disks);
    for (const auto& d : disks) {
        int err = 0;
        DevHandle h = Platform().Open(d.DeviceID, true, &err);
        if (!h) continue;  // not readable by this user
        DiskGeometry g;
        ASSERT_EQ(Platform().GetGeometry(h.get(), g, &err), 0) << d.DeviceID;
        std::string name = d.DeviceID.substr(5);
        uint64_t sectors = std::stoull(testutil::Capture("cat /sys/block/" + name + "/size"));
        EXPECT_EQ(g.DiskSize, sectors * 512);
        EXPECT_EQ(g.BytesPerSector, std::stoul(testutil::Capture("cat /sys/block/" + name + "/queue/logical_block_size")));
        EXPECT_GT(g.TracksPerCylinder, 0u);
        EXPECT_GT(g.SectorsPerTrack, 0u);
        EXPECT_EQ(g.Cylinders, g.DiskSize / (uint64_t{g.TracksPerCylinder} * g.SectorsPerTrack * g.BytesPerSector));
        DriveLayoutEx ex;
        EXPECT_EQ(Platform().GetDriveLayoutEx(h.get(), ex, &err), 0);
        return;
    }
    GTEST_SKIP() << "no readable disk";
}

// A descriptor handed over by a system service stands for a device node this
// user cannot open: the only way to the disk, read-only, never inherited.
TEST(LinuxPlatform, AdoptedDescriptorIsTheDisk) {
    if (!testutil::HaveTool("sfdisk") || !testutil::HaveTool("mkfs.fat")) GTEST_SKIP();
    testutil::TempDir dir;
    const std::string img = dir / "card.img";
    ASSERT_EQ(testutil::Run("truncate -s 64M " + img + " && echo 'start=2048, type=c' | sfdisk -q " + img +
                            " && mkfs.fat -F 32 -n CARD --offset 2048 " + img + " >/dev/null"),
              0);
    const std::string node = "/dev/lumivista-test-no-such-node";
    int err = 0;
    EXPECT_FALSE(Platform().Open(node, true, &err));
    EXPECT_EQ(err, ENOENT);

    // Refused: a descriptor that could write, one that is no disk.
    int rw = open(img.c_str(), O_RDWR | O_CLOEXEC);
    int chr = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(rw, 0);
    ASSERT_GE(chr, 0);
    EXPECT_EQ(Platform().AdoptReadOnlyDescriptor(node, rw, &err), -1);
    EXPECT_EQ(err, EINVAL);
    EXPECT_EQ(Platform().AdoptReadOnlyDescriptor(node, chr, &err), -1);
    EXPECT_EQ(err, ENOTBLK);
    close(rw);
    close(chr);
    EXPECT_FALSE(Platform().HasAdoptedDescriptor(node));

    // Taken without close-on-exec: the platform's copies get it all the same.
    int fd = open(img.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(Platform().AdoptReadOnlyDescriptor(node, fd, &err), 0);
    close(fd);  // the caller's copy; the platform keeps its own
    EXPECT_TRUE(Platform().HasAdoptedDescriptor(node));

    EXPECT_FALSE(Platform().Open(node, false, &err));
    EXPECT_EQ(err, EACCES);
    DevHandle h = Platform().Open(node, true, &err);
    ASSERT_TRUE(h);
    EXPECT_TRUE(h->IsReadOnly());
    uint8_t sector[512];
    ASSERT_EQ(DeviceReadSectorsEx(h.get(), 0, 1, sector), 1);
    EXPECT_EQ(sector[510], 0x55);
    EXPECT_EQ(sector[511], 0xAA);
    EXPECT_EQ(h->WriteAt(0, sector, sizeof sector, &err), -1);
    EXPECT_EQ(err, EBADF);
    EXPECT_EQ(testutil::Capture("ls -l /proc/self/fd/").find(img), std::string::npos)
        << "a descriptor of the disk leaks into programs started later";

    std::string label;
    ASSERT_EQ(Platform().ProbeLabelAt(node, 2048 * 512, (64 << 20) - 2048 * 512, label), 0);
    EXPECT_EQ(label, "CARD");

    // The disk manager loads it as it loads any disk, reading only.
    WmiDiskInfor rec;
    rec.DeviceID = node;
    rec.Index = 1000;
    rec.InterfaceType = "USB";
    std::unique_ptr<CDisk> disk = CDiskMgr::OpenDisk(rec);
    ASSERT_TRUE(disk);
    EXPECT_EQ(disk->GetTotalSectors(), 64u * 2048);
    CPartition* par = disk->FindPartition(1);
    ASSERT_TRUE(par);
    EXPECT_EQ(par->GetOff(), 2048u);
    EXPECT_EQ(par->GetFs(), FS_FAT32);
    EXPECT_EQ(par->GetVolLabel(), "CARD");
    EXPECT_EQ(par->GetKernelName(), "lumivista-test-no-such-node1");

    // Forgotten: the path is what it was, handles given out still read.
    Platform().ReleaseAdoptedDescriptor(node);
    EXPECT_FALSE(Platform().HasAdoptedDescriptor(node));
    EXPECT_FALSE(Platform().Open(node, true, &err));
    EXPECT_EQ(DeviceReadSectorsEx(h.get(), 2048, 1, sector), 1);
    EXPECT_EQ(DeviceReadSectorsEx(disk->GetHandle(), 2048, 1, sector), 1);
}
