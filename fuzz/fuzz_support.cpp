#include "fuzz_support.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "io/deviceio.h"
#include "io/log.h"
#include "io/platform/drive_layout.h"

namespace fuzz {

void QuietLog() {
    static bool done = [] {
        // LUMIVISTA_FUZZ_LOG names a file to keep the log of a reproduced run.
        const char* keep = std::getenv("LUMIVISTA_FUZZ_LOG");
        OpenLogFile(keep && *keep ? keep : "/dev/null");
        SetLogMask(0xFFFFFFFF);
        return true;
    }();
    (void)done;
}

void Fail(const char* what) {
    std::fprintf(stderr, "==fuzz== %s\n", what);
    std::fflush(stderr);
    std::abort();
}

Image SplitImage(const uint8_t* data, size_t size, size_t minBytes, size_t maxBytes) {
    Image img;
    size_t whole = std::min(size / 512 * 512, maxBytes / 512 * 512);
    size_t padded = std::max(whole, (minBytes + 511) / 512 * 512);
    img.bytes = std::make_shared<std::vector<uint8_t>>(padded, 0);
    if (whole) std::memcpy(img.bytes->data(), data, whole);

    const uint8_t* tail = data + size / 512 * 512;
    size_t tailLen = size % 512;
    if (tailLen >= 2) img.badSectors.insert(static_cast<uint64_t>(tail[0] | tail[1] << 8));
    if (tailLen >= 4) img.stopAt = static_cast<uint32_t>(tail[2] | tail[3] << 8);
    return img;
}

MemoryPartition::MemoryPartition(const Image& image, uint64_t off, uint64_t sectors) {
    auto h = std::make_unique<CMemoryHandle>(image.bytes, true);
    h->SetBadSectors(image.badSectors);
    handle = h.get();
    disk.m_handle = std::move(h);
    disk.m_bytesPerSector = 512;
    disk.m_heads = 255;
    disk.m_sectorsPerTrack = 63;
    disk.m_totalSectors = image.Sectors();
    disk.m_devicePath = "/fuzz/disk.img";
    disk.m_parStyle = PARSTYLE_MBR;
    ParInfor infor;
    infor.Off = off;
    infor.Len = sectors;
    infor.Fs = FS_UNKNOWN;
    infor.PartNo = 1;
    part.SetInfor(infor);
}

int Sink::Notify(uint32_t code, int32_t value, void* data, uint32_t reserved) {
    (void)value;
    (void)reserved;
    ++m_count;
    switch (code) {
    case INIT_CURRENT_PROGRESS:
    case UPDATE_CURRENT_PROGRESS:
        FUZZ_CHECK(data != nullptr);
        {
            volatile int64_t units = *static_cast<int64_t*>(data);
            (void)units;
        }
        break;
    case CURRENT_FILE_NAME:
    case RESERVED_FILE_NAME: {
        FUZZ_CHECK(data != nullptr);
        const char16_t* s = static_cast<const char16_t*>(data);
        size_t n = 0;
        while (s[n]) ++n;  // ASan stops here when the name is not terminated
        break;
    }
    default: break;
    }
    return (m_stopAt && m_count >= m_stopAt) ? -1 : 0;
}

void CheckItems(CPhotoItemsMgr& store, bool holesAllowed, uint64_t partitionSectors) {
    // LUMIVISTA_FUZZ_LIST=1 lists what was stored (to check a seed).
    const char* list = std::getenv("LUMIVISTA_FUZZ_LIST");
    for (int c = 0; c < kPhotoCategoryCount; ++c) {
        int n = store.GetItems(c, 0, 0, nullptr);
        FUZZ_CHECK(n >= 0);
        std::vector<PhotoItem*> items(static_cast<size_t>(n));
        if (n) FUZZ_CHECK(store.GetItems(c, 0, n, items.data()) == n);
        for (PhotoItem* item : items) {
            FUZZ_CHECK(item != nullptr);
            if (list && *list) {
                std::fprintf(stderr, "item %d %s size %u:", c, std::string(item->name.begin(), item->name.end()).c_str(),
                             item->size);
                for (const PhotoRun& r : item->runs)
                    std::fprintf(stderr, " (%lld %lld %lld)", static_cast<long long>(r.fileSector),
                                 static_cast<long long>(r.volumeSector), static_cast<long long>(r.sectorCount));
                std::fprintf(stderr, "\n");
            }
            FUZZ_CHECK(item->category == c || (c == Other && (item->category < 0 || item->category > Gif)));
            FUZZ_CHECK(!item->name.empty());
            FUZZ_CHECK(!item->runs.empty());
            // A folder path never starts or ends with '/' nor holds an empty name.
            FUZZ_CHECK(item->folder.empty() || (item->folder.front() != u'/' && item->folder.back() != u'/' &&
                                                item->folder.find(u"//") == std::u16string::npos));
            FUZZ_CHECK(item->inlineData.empty() || (item->inlineData.size() == item->size && item->runs.size() == 1));
            FUZZ_CHECK(item->runs.back().sectorCount == 0);
            int64_t next = 0;
            for (const PhotoRun& run : item->runs) {
                if (run.sectorCount == 0) {
                    FUZZ_CHECK(&run == &item->runs.back());
                    break;
                }
                FUZZ_CHECK(run.sectorCount > 0);
                FUZZ_CHECK(run.fileSector == next);
                FUZZ_CHECK(run.volumeSector >= 0 || (holesAllowed && (run.volumeSector == -1 || run.volumeSector == -2)));
                if (run.volumeSector >= 0)
                    FUZZ_CHECK(static_cast<uint64_t>(run.volumeSector) < partitionSectors &&
                               static_cast<uint64_t>(run.sectorCount) <= partitionSectors - static_cast<uint64_t>(run.volumeSector));
                next = run.fileSector + run.sectorCount;
            }
        }
    }
}

uint64_t PartitionSectors(const Image& image, uint64_t claimed) {
    return std::max(image.Sectors(), std::min<uint64_t>(claimed, uint64_t{1} << 16));
}

// ---- MemoryPlatform ----

DevHandle MemoryPlatform::Open(const std::string& path, bool readOnly, int* err) {
    DevHandle h = OpenMemoryDisk(path, readOnly);
    if (!h && err) *err = ENOENT;
    return h;
}

int MemoryPlatform::GetGeometry(IDeviceHandle* h, DiskGeometry& g, int* err) {
    auto* mem = dynamic_cast<CMemoryHandle*>(h);
    if (!mem) {
        if (err) *err = EBADF;
        return -1;
    }
    ImageGeometry(mem->Size(), g);
    return 0;
}

int MemoryPlatform::GetDriveLayout(IDeviceHandle* h, std::vector<LayoutEntry>& out, int* err) {
    DiskGeometry g;
    if (GetGeometry(h, g, err) != 0) return -1;
    return ReadDriveLayout(h, g.DiskSize, g.BytesPerSector, out, err);
}

int MemoryPlatform::GetDriveLayoutEx(IDeviceHandle* h, DriveLayoutEx& out, int* err) {
    DiskGeometry g;
    if (GetGeometry(h, g, err) != 0) return -1;
    return ReadDriveLayoutEx(h, g.DiskSize, g.BytesPerSector, out, err);
}

int MemoryPlatform::EnumDisks(std::vector<PlatformDiskInfo>& out) {
    out.clear();
    PlatformDiskInfo d;
    d.DeviceID = m_path;
    d.InterfaceType = "Image";
    d.MediaType = "Fixed hard disk media";
    d.Model = "fuzz";
    out.push_back(d);
    return 1;
}

int MemoryPlatform::EnumVolumes(std::vector<PlatformVolume>& out) {
    out.clear();
    return 0;
}

int MemoryPlatform::GetVolumeLabel(const std::string&, std::string& label) {
    label.clear();
    return -1;
}

int MemoryPlatform::GetFreeBytes(const std::string&, uint64_t& freeBytes, int* err) {
    freeBytes = 0;
    if (err) *err = ENOENT;
    return -1;
}

std::string MemoryPlatform::ErrorText(int err) { return std::strerror(err); }

}  // namespace fuzz
