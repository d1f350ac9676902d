#include "io/platform/linux/linux_sysfs.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "io/log.h"

namespace fs = std::filesystem;

namespace linuxsys {

namespace {

// Disk families: kernel prefix and the interface the disk list reports when
// the device is not on a USB bus.
struct Family {
    const char* prefix;
    bool numbered;  // nvme0n1, mmcblk0 (else drive letters: sda, vdb)
    const char* interface;
};

// Longer prefixes first, so "xvda" is not taken for a "vd" disk.
constexpr Family kFamilies[] = {
    {"mmcblk", true, "SD"}, {"nvme", true, "NVMe"}, {"xvd", false, "SCSI"},
    {"sd", false, "SCSI"},  {"hd", false, "ATA"},   {"vd", false, "SCSI"},
};

const Family* FamilyOf(const std::string& name) {
    for (const auto& f : kFamilies)
        if (name.rfind(f.prefix, 0) == 0) return &f;
    return nullptr;
}

bool AllOf(const std::string& s, int (*pred)(int)) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [&](char c) { return pred(static_cast<unsigned char>(c)); });
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

// First line of a small sysfs attribute, trimmed; empty when missing.
std::string ReadAttr(const fs::path& p) {
    std::ifstream f(p);
    if (!f) return {};
    std::string line;
    std::getline(f, line);
    return Trim(line);
}

bool ReadU64(const fs::path& p, uint64_t& v) {
    std::string s = ReadAttr(p);
    if (!AllOf(s, isdigit) || s.size() > 19) return false;
    v = std::stoull(s);
    return true;
}

// Splits a name into runs of letters and of digits.
std::vector<std::string> Runs(const std::string& s) {
    std::vector<std::string> runs;
    for (char c : s) {
        bool digit = std::isdigit(static_cast<unsigned char>(c)) != 0;
        if (runs.empty() || (std::isdigit(static_cast<unsigned char>(runs.back()[0])) != 0) != digit)
            runs.emplace_back();
        runs.back() += c;
    }
    return runs;
}

// Shorter runs first (sdz before sdaa, 2 before 10), then by characters.
bool RunLess(const std::string& a, const std::string& b) {
    bool da = std::isdigit(static_cast<unsigned char>(a[0])) != 0;
    if (da) {
        size_t za = a.find_first_not_of('0'), zb = b.find_first_not_of('0');
        std::string ta = za == std::string::npos ? "" : a.substr(za);
        std::string tb = zb == std::string::npos ? "" : b.substr(zb);
        if (ta.size() != tb.size()) return ta.size() < tb.size();
        return ta < tb;
    }
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;
}

std::string Unescape(const std::string& s) {
    // mountinfo writes blank, tab, newline and backslash as \ooo.
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3' && s[i + 2] >= '0' && s[i + 2] <= '7' && s[i + 3] >= '0' &&
            s[i + 3] <= '7') {
            out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

// The short serial udev recorded for a block device, if any.
std::string UdevSerial(const Roots& roots, const std::string& devNumber) {
    std::ifstream f(fs::path(roots.udevData) / ("b" + devNumber));
    std::string line;
    while (std::getline(f, line)) {
        static const std::string key = "E:ID_SERIAL_SHORT=";
        if (line.rfind(key, 0) == 0) return Trim(line.substr(key.size()));
    }
    return {};
}

std::string Model(const fs::path& dev) {
    std::string vendor = ReadAttr(dev / "device" / "vendor");
    // virtio and other PCI devices give a numeric vendor id: no use to a reader.
    if (vendor.rfind("0x", 0) == 0) vendor.clear();
    std::string model = ReadAttr(dev / "device" / "model");
    if (model.empty()) model = ReadAttr(dev / "device" / "name");  // MMC/SD cards
    if (vendor.empty()) return model;
    if (model.empty()) return vendor;
    return vendor + " " + model;
}

}  // namespace

bool IsListedDiskName(const std::string& name) {
    const Family* f = FamilyOf(name);
    if (!f) return false;
    std::string rest = name.substr(std::string(f->prefix).size());
    if (!f->numbered) return AllOf(rest, islower);
    if (std::string(f->prefix) == "mmcblk") return AllOf(rest, isdigit);  // not mmcblk0boot0, mmcblk0rpmb
    // nvme<ctrl>n<ns>: not the per-path nodes nvme0c0n1 of multipath set-ups.
    size_t n = rest.find('n');
    return n != std::string::npos && AllOf(rest.substr(0, n), isdigit) && AllOf(rest.substr(n + 1), isdigit);
}

bool DiskNameLess(const std::string& a, const std::string& b) {
    const Family* fa = FamilyOf(a);
    const Family* fb = FamilyOf(b);
    std::string pa = fa ? fa->prefix : "", pb = fb ? fb->prefix : "";
    if (pa != pb) return pa < pb;
    auto ra = Runs(a.substr(pa.size())), rb = Runs(b.substr(pb.size()));
    for (size_t i = 0; i < ra.size() && i < rb.size(); ++i) {
        if (RunLess(ra[i], rb[i])) return true;
        if (RunLess(rb[i], ra[i])) return false;
    }
    if (ra.size() != rb.size()) return ra.size() < rb.size();
    return a < b;
}

std::vector<PlatformDiskInfo> ListMachineDisks(const Roots& roots) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& d : fs::directory_iterator(fs::path(roots.sys) / "block", ec)) {
        std::string name = d.path().filename().string();
        if (IsListedDiskName(name)) names.push_back(name);
    }
    if (ec) LOG_E("cannot list %s/block: %s \n", roots.sys.c_str(), ec.message().c_str());
    std::sort(names.begin(), names.end(), DiskNameLess);

    std::vector<PlatformDiskInfo> disks;
    for (const auto& name : names) {
        fs::path dev = fs::path(roots.sys) / "block" / name;
        uint64_t size = 0;
        if (!ReadU64(dev / "size", size) || size == 0) {
            LOG_V("disk %s has no medium, left out \n", name.c_str());
            continue;
        }
        if (ReadAttr(dev / "hidden") == "1") continue;

        PlatformDiskInfo info;
        info.TotalHeads = 255;
        info.DeviceID = "/dev/" + name;
        info.Index = static_cast<uint32_t>(disks.size());
        std::string real = fs::canonical(dev, ec).string();
        if (ec) real.clear();
        bool usb = real.find("/usb") != std::string::npos;
        const Family* f = FamilyOf(name);
        if (usb) info.InterfaceType = "USB";
        else if (std::string(f->prefix) == "sd" && real.find("/ata") != std::string::npos) info.InterfaceType = "ATA";
        else info.InterfaceType = f->interface;
        bool removable = ReadAttr(dev / "removable") == "1";
        info.MediaType = (removable || usb) ? "Removable Media" : "Fixed hard disk media";
        info.Model = Model(dev);
        std::string devNumber = ReadAttr(dev / "dev");
        if (!devNumber.empty()) info.SerialNumber = UdevSerial(roots, devNumber);
        if (info.SerialNumber.empty()) info.SerialNumber = ReadAttr(dev / "device" / "serial");
        if (info.SerialNumber.empty()) info.SerialNumber = ReadAttr(dev / "serial");
        disks.push_back(std::move(info));
    }
    return disks;
}

std::vector<MountEntry> ParseMountInfo(const std::string& text) {
    // id parent major:minor root mount-point options [optional fields...] - type source super-options
    std::vector<MountEntry> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::vector<std::string> f;
        std::string w;
        while (ls >> w) f.push_back(w);
        if (f.size() < 7) continue;
        auto sep = std::find(f.begin() + 6, f.end(), "-");
        if (sep == f.end() || f.end() - sep < 3) continue;
        MountEntry m;
        const std::string& dev = f[2];
        size_t colon = dev.find(':');
        if (colon == std::string::npos) continue;
        std::string ma = dev.substr(0, colon), mi = dev.substr(colon + 1);
        if (!AllOf(ma, isdigit) || !AllOf(mi, isdigit) || ma.size() > 9 || mi.size() > 9) continue;
        m.major = static_cast<unsigned>(std::stoul(ma));
        m.minor = static_cast<unsigned>(std::stoul(mi));
        m.root = Unescape(f[3]);
        m.mountPoint = Unescape(f[4]);
        m.fsType = *(sep + 1);
        m.source = Unescape(*(sep + 2));
        out.push_back(std::move(m));
    }
    return out;
}

bool ResolveBlockDev(const MountEntry& m, const Roots& roots, BlockDev& out) {
    unsigned major = m.major, minor = m.minor;
    std::error_code ec;
    auto lookup = [&](unsigned ma, unsigned mi, fs::path& p) {
        p = fs::canonical(fs::path(roots.sys) / "dev" / "block" / (std::to_string(ma) + ":" + std::to_string(mi)), ec);
        return !ec;
    };
    fs::path p;
    bool found = major != 0 && lookup(major, minor, p);
    if (!found && m.source.rfind("/dev/", 0) == 0) {
        // btrfs and others report an anonymous device number; the source names the device.
        struct stat st;
        if (stat(m.source.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
            found = lookup(::major(st.st_rdev), ::minor(st.st_rdev), p);
    }
    if (!found) return false;
    out = BlockDev{};
    out.name = p.filename().string();
    if (fs::exists(p / "partition", ec)) {
        out.parent = p.parent_path().filename().string();
        if (!ReadU64(p / "start", out.start)) return false;
    } else {
        out.parent = out.name;
    }
    return ReadU64(p / "size", out.size);
}

std::vector<PlatformVolume> ListVolumes(const std::vector<MountEntry>& mounts,
                                        const std::vector<PlatformDiskInfo>& disks, const Roots& roots) {
    std::vector<PlatformVolume> vols;
    std::vector<bool> atRoot;  // whether the volume's mount path shows its file system's root
    for (const auto& m : mounts) {
        BlockDev b;
        if (!ResolveBlockDev(m, roots, b)) continue;
        std::string node = "/dev/" + b.name;
        auto known = std::find_if(vols.begin(), vols.end(), [&](const PlatformVolume& v) { return v.VolumeName == node; });
        if (known != vols.end()) {
            size_t i = static_cast<size_t>(known - vols.begin());
            if (!atRoot[i] && m.root == "/") {
                known->MountPath = m.mountPoint;
                atRoot[i] = true;
            }
            continue;
        }
        auto disk = std::find_if(disks.begin(), disks.end(),
                                 [&](const PlatformDiskInfo& d) { return d.DeviceID == "/dev/" + b.parent; });
        if (disk == disks.end()) continue;
        if (b.start > UINT64_MAX / 512 || b.size > UINT64_MAX / 512) continue;
        PlatformVolume v;
        v.VolumeName = node;
        v.MountPath = m.mountPoint;
        v.StartingOffset = b.start * 512;
        v.ExtentLength = b.size * 512;
        v.DiskNumber = disk->Index;
        vols.push_back(std::move(v));
        atRoot.push_back(m.root == "/");
    }
    return vols;
}

std::string SystemVolume(const std::vector<MountEntry>& mounts, const Roots& roots) {
    // The last mount at "/" is the one in sight.
    for (auto it = mounts.rbegin(); it != mounts.rend(); ++it) {
        if (it->mountPoint != "/") continue;
        BlockDev b;
        if (ResolveBlockDev(*it, roots, b)) return "/dev/" + b.name;
        return {};
    }
    return {};
}

}  // namespace linuxsys
