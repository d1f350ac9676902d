#include "synthstore.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>

namespace {

std::u16string Wide(const char* s) { return std::u16string(s, s + std::strlen(s)); }

PhotoCategory PickCategory(uint64_t r) {
    const unsigned p = static_cast<unsigned>(r % 100);
    if (p < 70) return Jpg;
    if (p < 82) return Heic;
    if (p < 90) return Png;
    if (p < 94) return Raw;
    if (p < 96) return Gif;
    if (p < 97) return Bmp;
    if (p < 98) return Tiff;
    if (p < 99) return WebP;
    return Other;
}

const char* ExtensionOf(PhotoCategory c) {
    switch (c) {
    case Jpg: return "jpg";
    case Png: return "png";
    case Bmp: return "bmp";
    case Gif: return "gif";
    case Raw: return "dng";
    case Heic: return "heic";
    case Tiff: return "tif";
    case WebP: return "webp";
    default: return "unk";
    }
}

}  // namespace

void MakeSyntheticPhotos(IPhotoItmesMgr& store, size_t count, uint64_t seed) {
    std::mt19937_64 rng(seed);
    int64_t nextSector = 2048;
    long long rawNumber = 0;
    for (size_t i = 0; i < count; ++i) {
        auto item = std::make_unique<PhotoItem>();
        const uint64_t r = rng();
        item->category = PickCategory(r);
        item->size = static_cast<uint32_t>(200000 + (r >> 8) % 7800000);
        const int64_t sectors = (item->size + 511) / 512;
        const bool raw = (r >> 40) % 10 >= 7;
        char name[64];
        if (raw) {
            std::snprintf(name, sizeof name, "%010lld.%s", ++rawNumber, ExtensionOf(item->category));
            item->origin = RawScan;
            item->runs = {{0, nextSector, sectors}, {sectors, -3, 0}};
        } else {
            const int year = 2012 + static_cast<int>((r >> 44) % 12), month = 1 + static_cast<int>((r >> 48) % 12);
            std::snprintf(name, sizeof name, "IMG_%04d%02d%02d_%06u.%s", year, month, 1 + static_cast<int>((r >> 52) % 28),
                          static_cast<unsigned>(i % 1000000), ExtensionOf(item->category));
            char folder[32];
            std::snprintf(folder, sizeof folder, "DCIM/%04d-%02d", year, month);
            item->folder = Wide(folder);
            item->origin = FileSystem;
            item->mtime = 1325376000 + static_cast<int64_t>((r >> 20) % 378000000);
            // Up to three fragments, 8-sector clusters.
            const int pieces = 1 + static_cast<int>((r >> 58) % 3);
            int64_t done = 0;
            for (int k = 0; k < pieces; ++k) {
                int64_t n = k + 1 < pieces ? ((sectors / pieces + 7) / 8) * 8 : ((sectors - done + 7) / 8) * 8;
                if (n <= 0) break;
                item->runs.push_back({done, nextSector + done + k * 64, n});
                done += n;
            }
            item->runs.push_back({done, 0, 0});
        }
        item->name = Wide(name);
        nextSector += sectors + 8 + 64 * 3;
        store.AddItem(std::move(item));
    }
}
