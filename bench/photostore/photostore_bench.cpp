// The photo store at a million photos: memory per photo, and the time of
// what the result page asks of it (counting a category's photos for the
// tree, opening a block of 500, ticking everything, adding up the ticked
// sizes for the selection text). Prints one line per figure.
// Usage: photostore_bench [PHOTOS]   (default 1000000)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "synthstore.h"

namespace {

constexpr int kBlock = 500;

// Resident memory of this process in bytes.
long long ResidentBytes() {
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atoll(line.c_str() + 6) * 1024;
    return -1;
}

double Ms(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
    const size_t count = argc > 1 ? static_cast<size_t>(std::atoll(argv[1])) : 1000000;
    const long long before = ResidentBytes();
    auto t = std::chrono::steady_clock::now();
    CPhotoItemsMgr store;
    MakeSyntheticPhotos(store, count);
    const double buildMs = Ms(t);
    const long long after = ResidentBytes();
    std::printf("photos: %zu\n", count);
    std::printf("store memory: %.1f MiB, %.0f bytes per photo\n", (after - before) / 1048576.0,
                count ? static_cast<double>(after - before) / static_cast<double>(count) : 0.0);
    std::printf("fill: %.0f ms\n", buildMs);

    // The tree: every category's count and its blocks of 500.
    t = std::chrono::steady_clock::now();
    size_t blocks = 0;
    for (int c = 0; c < kPhotoCategoryCount; ++c) {
        const int n = store.GetItems(c, -1, -1, nullptr);
        blocks += static_cast<size_t>((n + kBlock - 1) / kBlock);
    }
    std::printf("tree counts: %.3f ms (%zu blocks)\n", Ms(t), blocks);

    // Opening the last block of JPEG photos.
    std::vector<PhotoItem*> shown(kBlock);
    const int jpegs = store.GetItems(Jpg, -1, -1, nullptr);
    t = std::chrono::steady_clock::now();
    const int got = store.GetItems(Jpg, (jpegs - 1) / kBlock * kBlock, kBlock, shown.data());
    std::printf("open a block: %.3f ms (%d photos)\n", Ms(t), got);

    // Ticking everything, block by block as the page does.
    t = std::chrono::steady_clock::now();
    for (int c = 0; c < kPhotoCategoryCount; ++c) {
        const int n = store.GetItems(c, -1, -1, nullptr);
        for (int first = 0; first < n; first += kBlock) {
            const int k = store.GetItems(c, first, kBlock, shown.data());
            for (int i = 0; i < k; ++i) shown[static_cast<size_t>(i)]->selected = 1;
        }
    }
    std::printf("tick all: %.1f ms\n", Ms(t));

    // The selection text's sum over every ticked photo.
    t = std::chrono::steady_clock::now();
    long long ticked = 0, bytes = 0;
    for (int c = 0; c < kPhotoCategoryCount; ++c) {
        const int n = store.GetItems(c, -1, -1, nullptr);
        for (int first = 0; first < n; first += kBlock) {
            const int k = store.GetItems(c, first, kBlock, shown.data());
            for (int i = 0; i < k; ++i)
                if (shown[static_cast<size_t>(i)]->selected) ++ticked, bytes += shown[static_cast<size_t>(i)]->size;
        }
    }
    std::printf("selection sum: %.1f ms (%lld photos, %.1f GB)\n", Ms(t), ticked, bytes / 1e9);
    return 0;
}
