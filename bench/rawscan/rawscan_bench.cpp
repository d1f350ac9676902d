// Raw-scan benchmark.
//
//   rawscan_bench build IMAGE PHOTODIR [MIB]
//       writes an image of MIB MiB (default 2048) whose free sectors hold the
//       photos of PHOTODIR again and again between stretches of noise, with
//       small used islands scattered over it (listed in IMAGE.used).
//   rawscan_bench scan IMAGE [--all-free]
//       raw-scans the image as one partition with the map of IMAGE.used (or
//       with every sector free) and prints the time and throughput over the
//       partition's size.
//   rawscan_bench read IMAGE [KIB]
//       reads the image front to back in pieces of KIB KiB (default 8192), as
//       plainly as can be, for comparison.
//   rawscan_bench compare IMAGE [ROUNDS]
//       alternates the four (read in 8 MiB pieces, read in pieces of the
//       scan's run, scan, scan with all free) ROUNDS times (default 5) and
//       prints the best wall and CPU time of each, as a share of the faster
//       read: on a busy machine the best of interleaved runs is what the
//       code costs.
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "filesystem/allounitmgr.h"
#include "io/deviceio.h"
#include "io/disk.h"
#include "io/log.h"
#include "volphotorev/photoitems.h"
#include "volphotorev/raw_photorev.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Rng {  // xorshift64*: fast noise for gigabytes
    uint64_t s;
    uint64_t Next() {
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
        return s * 0x2545F4914F6CDD1DULL;
    }
};

void Fill(Rng& rng, uint8_t* p, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t v = rng.Next();
        std::memcpy(p + i, &v, 8);
    }
    for (; i < n; ++i) p[i] = static_cast<uint8_t>(rng.Next());
}

std::vector<std::vector<uint8_t>> LoadPhotos(const std::string& dir) {
    std::vector<std::vector<uint8_t>> photos;
    DIR* d = opendir(dir.c_str());
    if (!d) return photos;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() < 5 || name[0] == '.') continue;
        struct stat st;
        if (stat((dir + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;  // photos only, no folders
        std::ifstream f(dir + "/" + name, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), {});
        if (!bytes.empty()) photos.push_back(std::move(bytes));
    }
    closedir(d);
    return photos;
}

int Build(const std::string& image, const std::string& photoDir, uint64_t mib) {
    auto photos = LoadPhotos(photoDir);
    if (photos.empty()) {
        std::fprintf(stderr, "no photos in %s\n", photoDir.c_str());
        return 1;
    }
    const uint64_t sectors = mib * 2048;
    int fd = open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        std::perror(image.c_str());
        return 1;
    }
    std::ofstream used(image + ".used");
    Rng rng{0x9E3779B97F4A7C15ULL};
    std::vector<uint8_t> chunk(8 << 20);
    uint64_t s = 0, usedSectors = 0, placed = 0;
    size_t next = 0;
    // Sector by sector plan: noise, a photo, noise, now and then a used island.
    while (s < sectors) {
        uint64_t n;
        uint64_t r = rng.Next();
        if (r % 4 == 0) {  // a photo in free space
            const auto& p = photos[next++ % photos.size()];
            n = (p.size() + 511) / 512;
            if (s + n > sectors) break;
            std::vector<uint8_t> buf(n * 512);
            std::memcpy(buf.data(), p.data(), p.size());
            Fill(rng, buf.data() + p.size(), buf.size() - p.size());
            if (pwrite(fd, buf.data(), buf.size(), static_cast<off_t>(s * 512)) != static_cast<ssize_t>(buf.size()))
                return std::perror("pwrite"), 1;
            ++placed;
        } else if (r % 4 == 1) {  // a used island of 1 to 256 sectors
            n = std::min<uint64_t>(1 + (r >> 8) % 256, sectors - s);
            used << s << " " << n << "\n";
            usedSectors += n;
            std::vector<uint8_t> buf(n * 512);
            Fill(rng, buf.data(), buf.size());
            if (pwrite(fd, buf.data(), buf.size(), static_cast<off_t>(s * 512)) != static_cast<ssize_t>(buf.size()))
                return std::perror("pwrite"), 1;
        } else {  // free noise: deleted data of other kinds
            n = std::min<uint64_t>(1 + (r >> 8) % 8192, sectors - s);
            for (uint64_t done = 0; done < n;) {
                uint64_t k = std::min<uint64_t>(n - done, chunk.size() / 512);
                Fill(rng, chunk.data(), k * 512);
                if (pwrite(fd, chunk.data(), k * 512, static_cast<off_t>((s + done) * 512)) !=
                    static_cast<ssize_t>(k * 512))
                    return std::perror("pwrite"), 1;
                done += k;
            }
        }
        s += n;
    }
    if (ftruncate(fd, static_cast<off_t>(sectors * 512)) != 0) return std::perror("ftruncate"), 1;
    close(fd);
    std::printf("image %s: %" PRIu64 " MiB, %" PRIu64 " photos placed, %.1f %% used\n", image.c_str(), mib, placed,
                100.0 * static_cast<double>(usedSectors) / static_cast<double>(sectors));
    return 0;
}

class CountingSink : public IEventSink {
public:
    int Notify(uint32_t code, int32_t value, void*, uint32_t) override {
        if (code == PHOTO_FOUND) photos += value;
        return 0;
    }
    int64_t photos = 0;
};

struct Timing {
    double wall = 0;  // seconds
    double cpu = 0;   // user + system seconds
};

double CpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    auto sec = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return sec(ru.ru_utime) + sec(ru.ru_stime);
}

int Scan(const std::string& image, bool allFree, Timing* timing = nullptr) {
    struct stat st;
    if (stat(image.c_str(), &st) != 0) return std::perror(image.c_str()), 1;
    const int64_t sectors = st.st_size / 512;
    CAlloUnitMgr map;
    if (map.InitFree(sectors) != 0) return 1;
    if (!allFree) {
        std::ifstream used(image + ".used");
        int64_t s, n;
        while (used >> s >> n) map.SetUsed(s, n);
    }
    CDisk disk;
    disk.m_handle = DeviceOpenReadOnly(image);
    if (!disk.GetHandle()) return 1;
    CPartition part(&disk);
    part.SetRange(0, static_cast<uint64_t>(sectors));
    CPhotoItemsMgr items;
    CountingSink sink;

    auto t0 = Clock::now();
    double c0 = CpuSeconds();
    auto* op = new CRawScanPhoto(&part, &map, &items);
    int r = op->Do(&sink);
    op->Release();
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    if (timing) *timing = {secs, CpuSeconds() - c0};
    double mb = static_cast<double>(sectors) * 512 / 1e6;
    if (!timing)
        std::printf("scan%s: result %d, %" PRId64 " photos, %.3f s, %.0f MB/s\n", allFree ? " (all free)" : "", r,
                sink.photos, secs, mb / secs);
    return r == 0 ? 0 : 1;
}

int Read(const std::string& image, size_t piece, Timing* timing = nullptr) {
    int fd = open(image.c_str(), O_RDONLY);
    if (fd < 0) return std::perror(image.c_str()), 1;
    std::unique_ptr<uint8_t[]> buf(new uint8_t[piece]);
    auto t0 = Clock::now();
    double c0 = CpuSeconds();
    uint64_t total = 0;
    for (;;) {
        ssize_t n = pread(fd, buf.get(), piece, static_cast<off_t>(total));
        if (n < 0) return std::perror("pread"), 1;
        if (n == 0) break;
        total += static_cast<uint64_t>(n);
    }
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    if (timing) *timing = {secs, CpuSeconds() - c0};
    close(fd);
    if (!timing) std::printf("read: %" PRIu64 " bytes, %.3f s, %.0f MB/s\n", total, secs, static_cast<double>(total) / 1e6 / secs);
    return 0;
}

int Compare(const std::string& image, int rounds) {
    struct stat st;
    if (stat(image.c_str(), &st) != 0) return std::perror(image.c_str()), 1;
    double mb = static_cast<double>(st.st_size) / 1e6;
    constexpr size_t kRunBytes = CRawScanPhoto::kBlockSectors * 512;
    Timing best[4] = {{1e9, 1e9}, {1e9, 1e9}, {1e9, 1e9}, {1e9, 1e9}};
    for (int r = 0; r < rounds; ++r) {
        Timing t[4];
        if (Read(image, 8 << 20, &t[0]) || Read(image, kRunBytes, &t[1]) || Scan(image, false, &t[2]) ||
            Scan(image, true, &t[3]))
            return 1;
        for (int k = 0; k < 4; ++k) {
            best[k].wall = std::min(best[k].wall, t[k].wall);
            best[k].cpu = std::min(best[k].cpu, t[k].cpu);
        }
    }
    char runRead[40];
    std::snprintf(runRead, sizeof runRead, "plain read, %zu KiB", kRunBytes >> 10);
    const char* names[4] = {"plain read, 8 MiB", runRead, "raw scan, map", "raw scan, all free"};
    // The faster read of the two is the one to hold the scan against.
    const double wall = std::min(best[0].wall, best[1].wall), cpu = std::min(best[0].cpu, best[1].cpu);
    std::printf("\nbest of %d interleaved rounds over %.0f MB:\n", rounds, mb);
    for (int k = 0; k < 4; ++k)
        std::printf("%-20s %6.0f MB/s wall (%3.0f %% of read)   %6.0f MB/s CPU (%3.0f %% of read)\n", names[k],
                    mb / best[k].wall, 100.0 * wall / best[k].wall, mb / best[k].cpu, 100.0 * cpu / best[k].cpu);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    SetLogMask(LOG_ERROR | LOG_CRITICAL);  // no trace of every open
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "build" && argc >= 4) return Build(argv[2], argv[3], argc > 4 ? std::stoull(argv[4]) : 2048);
    if (mode == "scan" && argc >= 3) return Scan(argv[2], argc > 3 && std::string(argv[3]) == "--all-free");
    if (mode == "read" && argc >= 3) return Read(argv[2], argc > 3 ? std::stoull(argv[3]) << 10 : size_t{8} << 20);
    if (mode == "compare" && argc >= 3) return Compare(argv[2], argc > 3 ? std::stoi(argv[3]) : 5);
    std::fprintf(stderr, "usage: %s build IMAGE PHOTODIR [MIB] | scan IMAGE [--all-free] | read IMAGE [KIB] | compare IMAGE [ROUNDS]\n", argv[0]);
    return 2;
}
