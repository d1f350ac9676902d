#include "io/platform/platform.h"

#include "io/platform/frontend_checks.h"

#include <algorithm>
#include <mutex>

IPlatform& DefaultPlatform();  // the backend built for this system

namespace {
IPlatform* g_override = nullptr;
}

IPlatform& Platform() { return g_override ? *g_override : DefaultPlatform(); }
void SetPlatform(IPlatform* platform) { g_override = platform; }

namespace {

struct DiskSources {
    std::mutex lock;
    bool machineDisks = true;
    std::vector<std::string> images;
};

DiskSources& Sources() {
    static DiskSources s;
    return s;
}

}  // namespace

void SetDiskSources(bool includeMachineDisks, std::vector<std::string> imageFiles) {
    auto& s = Sources();
    std::lock_guard<std::mutex> g(s.lock);
    s.machineDisks = includeMachineDisks;
    s.images.clear();
    for (auto& f : imageFiles)
        if (std::find(s.images.begin(), s.images.end(), f) == s.images.end()) s.images.push_back(std::move(f));
}

void AddImageFile(const std::string& path) {
    auto& s = Sources();
    std::lock_guard<std::mutex> g(s.lock);
    if (std::find(s.images.begin(), s.images.end(), path) == s.images.end()) s.images.push_back(path);
}

bool IncludeMachineDisks() {
    auto& s = Sources();
    std::lock_guard<std::mutex> g(s.lock);
    return s.machineDisks;
}

std::vector<std::string> ImageFiles() {
    auto& s = Sources();
    std::lock_guard<std::mutex> g(s.lock);
    return s.images;
}

void ImageGeometry(uint64_t bytes, DiskGeometry& g) {
    g.BytesPerSector = 512;
    g.TracksPerCylinder = 255;
    g.SectorsPerTrack = 63;
    g.Cylinders = bytes / (255ULL * 63 * 512);
    g.DiskSize = bytes;
}

std::string TooSmallForADisk(unsigned long long bytes) {
    return "the file holds " + std::to_string(bytes) + " byte" + (bytes == 1 ? "" : "s") +
           ", less than one sector of " + std::to_string(kImageSectorBytes) + " bytes, so it cannot be a disk";
}
