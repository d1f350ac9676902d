// A scripted platform for the disk, partition and volume tests: sparse disks
// in memory with canned geometry and layouts, a volume list, labels, free
// space, a system volume and existing paths. Counts opens and writes.
#pragma once

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "io/le.h"
#include "io/platform/platform.h"

namespace fake {

// A disk of `size` bytes of which only the sectors written are stored.
struct SparseDisk {
    uint64_t size = 0;
    std::map<uint64_t, std::array<uint8_t, 512>> sectors;
    std::set<uint64_t> bad;  // reads touching these fail with EIO
    int writes = 0;          // WriteAt calls

    std::array<uint8_t, 512>& Sector(uint64_t lba) {
        auto it = sectors.find(lba);
        if (it == sectors.end()) it = sectors.emplace(lba, std::array<uint8_t, 512>{}).first;
        return it->second;
    }
};

class Handle : public IDeviceHandle {
public:
    Handle(std::string path, std::shared_ptr<SparseDisk> disk, bool readOnly)
        : path(std::move(path)), disk(std::move(disk)), readOnly(readOnly) {}

    int64_t ReadAt(uint64_t off, void* buf, size_t len, int* err) override {
        if (off >= disk->size) return 0;
        size_t n = static_cast<size_t>(std::min<uint64_t>(len, disk->size - off));
        auto* out = static_cast<uint8_t*>(buf);
        for (size_t done = 0; done < n;) {
            uint64_t lba = (off + done) / 512, in = (off + done) % 512;
            if (disk->bad.count(lba)) {
                if (err) *err = EIO;
                return -1;
            }
            size_t piece = static_cast<size_t>(std::min<uint64_t>(512 - in, n - done));
            auto it = disk->sectors.find(lba);
            if (it == disk->sectors.end()) std::memset(out + done, 0, piece);
            else std::memcpy(out + done, it->second.data() + in, piece);
            done += piece;
        }
        return static_cast<int64_t>(n);
    }
    int64_t WriteAt(uint64_t, const void*, size_t, int* err) override {
        ++disk->writes;
        if (err) *err = EPERM;
        return -1;
    }
    bool IsReadOnly() const override { return readOnly; }

    std::string path;
    std::shared_ptr<SparseDisk> disk;
    bool readOnly;
};

struct Device {
    std::shared_ptr<SparseDisk> disk = std::make_shared<SparseDisk>();
    DiskGeometry geometry;
    std::vector<LayoutEntry> layout;
    DriveLayoutEx layoutEx;
    bool denyWrite = false;  // read-write opens refused with EACCES
    bool denyAll = false;    // every open refused
    bool geometryFails = false;
    bool layoutFails = false;
    bool layoutExFails = false;
};

class Platform : public IPlatform {
public:
    std::map<std::string, Device> devices;
    std::vector<PlatformDiskInfo> disks;
    int enumDisksResult = 0;  // used when negative
    std::vector<PlatformVolume> volumes;
    int enumVolumesResult = 0;  // used when negative
    std::map<std::string, std::string> labels;  // volume name -> label
    std::map<std::string, uint64_t> freeBytes;  // mount path -> free bytes
    std::string systemVolume;
    std::set<std::string> existing;
    std::vector<std::string> readWriteOpens;  // paths opened read-write
    int readOnlyOpens = 0;

    // A disk of `sectors` 512-byte sectors with image-file geometry.
    Device& AddDevice(const std::string& path, uint64_t sectors, uint32_t bytesPerSector = 512) {
        Device& d = devices[path];
        d.disk->size = sectors * 512;
        d.geometry.BytesPerSector = bytesPerSector;
        d.geometry.TracksPerCylinder = 255;
        d.geometry.SectorsPerTrack = 63;
        d.geometry.Cylinders = sectors / (255 * 63);
        d.geometry.DiskSize = sectors * 512;
        d.layoutEx.Style = PartitionStyle::Mbr;
        return d;
    }
    // A device and its entry in the disk list.
    Device& AddDisk(const std::string& path, uint64_t sectors, const std::string& iface = "SCSI") {
        PlatformDiskInfo info;
        info.DeviceID = path;
        info.Index = static_cast<uint32_t>(disks.size());
        info.InterfaceType = iface;
        info.Model = "Model " + path;
        info.SerialNumber = "SN" + std::to_string(disks.size());
        info.MediaType = "Fixed hard disk media";
        disks.push_back(info);
        return AddDevice(path, sectors);
    }

    DevHandle Open(const std::string& path, bool readOnly, int* err) override {
        auto it = devices.find(path);
        if (it == devices.end() || it->second.denyAll) {
            if (err) *err = it == devices.end() ? ENOENT : EACCES;
            return nullptr;
        }
        if (!readOnly && it->second.denyWrite) {
            if (err) *err = EROFS;
            return nullptr;
        }
        if (readOnly) ++readOnlyOpens;
        else readWriteOpens.push_back(path);
        return std::make_unique<Handle>(path, it->second.disk, readOnly);
    }
    Device* Of(IDeviceHandle* h) {
        auto* fh = dynamic_cast<Handle*>(h);
        if (!fh) return nullptr;
        auto it = devices.find(fh->path);
        return it == devices.end() ? nullptr : &it->second;
    }
    int GetGeometry(IDeviceHandle* h, DiskGeometry& g, int* err) override {
        Device* d = Of(h);
        if (!d || d->geometryFails) return Fail(err);
        g = d->geometry;
        return 0;
    }
    int GetDriveLayout(IDeviceHandle* h, std::vector<LayoutEntry>& out, int* err) override {
        Device* d = Of(h);
        if (!d || d->layoutFails) return Fail(err);
        out = d->layout;
        return 0;
    }
    int GetDriveLayoutEx(IDeviceHandle* h, DriveLayoutEx& out, int* err) override {
        Device* d = Of(h);
        if (!d || d->layoutExFails) return Fail(err);
        out = d->layoutEx;
        return 0;
    }
    int EnumDisks(std::vector<PlatformDiskInfo>& out) override {
        out = disks;
        return enumDisksResult < 0 ? enumDisksResult : static_cast<int>(out.size());
    }
    int EnumVolumes(std::vector<PlatformVolume>& out) override {
        out = enumVolumesResult < 0 ? std::vector<PlatformVolume>{} : volumes;
        return enumVolumesResult < 0 ? enumVolumesResult : static_cast<int>(out.size());
    }
    int GetVolumeLabel(const std::string& name, std::string& label) override {
        auto it = labels.find(name);
        if (it == labels.end()) return -1;
        label = it->second;
        return 0;
    }
    int GetFreeBytes(const std::string& path, uint64_t& bytes, int* err) override {
        auto it = freeBytes.find(path);
        if (it == freeBytes.end()) return Fail(err);
        bytes = it->second;
        return 0;
    }
    std::string GetSystemVolume() override { return systemVolume; }
    bool PathExists(const std::string& path) override { return existing.count(path) > 0; }
    std::string ErrorText(int err) override { return std::strerror(err); }

private:
    static int Fail(int* err) {
        if (err) *err = EIO;
        return -1;
    }
};

// Installs a platform for the lifetime of the scope.
class Scope {
public:
    explicit Scope(IPlatform& p) { SetPlatform(&p); }
    ~Scope() { SetPlatform(nullptr); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
};

// Layout entries as the platform reports them (sectors of 512 bytes).
inline LayoutEntry Entry(uint8_t type, uint64_t lba, uint64_t count, uint32_t hidden, uint32_t number) {
    LayoutEntry e;
    e.StartingOffset = lba * 512;
    e.PartitionLength = count * 512;
    e.HiddenSectors = hidden;
    e.PartitionNumber = number;
    e.PartitionType = type;
    return e;
}
inline LayoutEntry Primary(uint32_t number, uint8_t type, uint64_t lba, uint64_t count) {
    return Entry(type, lba, count, static_cast<uint32_t>(lba), number);
}
inline LayoutEntry EmptySlot() { return LayoutEntry{}; }
// A logical partition described by the extended boot record at `ebr`.
inline LayoutEntry Logical(uint32_t number, uint8_t type, uint64_t ebr, uint64_t lba, uint64_t count) {
    return Entry(type, lba, count, static_cast<uint32_t>(lba - ebr), number);
}

// A master-boot-record entry in sector 0 of `disk`.
inline void MbrEntry(SparseDisk& disk, int slot, uint8_t boot, uint8_t type, uint32_t lba, uint32_t count) {
    auto& s = disk.Sector(0);
    size_t e = 446 + 16 * static_cast<size_t>(slot);
    s[e] = boot;
    s[e + 4] = type;
    le::put32(s, e + 8, lba);
    le::put32(s, e + 12, count);
    s[510] = 0x55;
    s[511] = 0xAA;
}

// Boot sectors with just the fields the file-system detection reads.
inline std::array<uint8_t, 512> BootSector(const char* kind) {
    std::array<uint8_t, 512> s{};
    s[510] = 0x55;
    s[511] = 0xAA;
    le::put16(s, 11, 512);
    s[13] = 8;
    std::string k = kind;
    if (k == "NTFS") {
        std::memcpy(&s[3], "NTFS    ", 8);
    } else if (k == "FAT32") {
        le::put16(s, 14, 32);
        std::memcpy(&s[82], "FAT32   ", 8);
    } else if (k == "FAT16") {
        le::put16(s, 14, 1);
        le::put16(s, 17, 512);
        le::put16(s, 22, 200);
        std::memcpy(&s[54], "FAT16   ", 8);
    }
    return s;
}

}  // namespace fake
