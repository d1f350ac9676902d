// Shared by the NTFS tests of the filesystem and volphotorev layers: sector
// devices over images and memory, a log capture, the image builder and
// sleuthkit's view of the same image.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "testutil.h"
#include "io/deviceio.h"
#include "io/log.h"
#include "io/platform/memory_handle.h"

namespace ntfstest {

// A partition of an image file or of bytes in memory as a sector device:
// what CVolDevice does over a disk's handle (whose CDisk cannot be built
// here), straight on a platform handle. Like CVolDevice's tolerant read it
// always answers the sectors asked for; sectors it cannot read come back as
// zeros. Records every request so tests can count device reads.
class ImageDevice : public IDevice {
public:
    ImageDevice(DevHandle handle, uint64_t base) : m_handle(std::move(handle)), m_base(base) {}
    static std::unique_ptr<ImageDevice> OverFile(const std::string& path, uint64_t base) {
        int err = 0;
        DevHandle h = Platform().Open(path, true, &err);
        EXPECT_TRUE(h) << path << ": error " << err;
        return std::make_unique<ImageDevice>(std::move(h), base);
    }
    static std::unique_ptr<ImageDevice> OverMemory(std::shared_ptr<std::vector<uint8_t>> bytes, uint64_t base = 0) {
        return std::make_unique<ImageDevice>(std::make_unique<CMemoryHandle>(std::move(bytes), true), base);
    }

    int Open(const std::string&) override { return 0; }
    void Close() override {}
    uint64_t ReadSectors(uint64_t lba, uint64_t count, void* buffer) override {
        reads.emplace_back(lba, count);
        size_t bytes = static_cast<size_t>(count) * SECTOR_SIZE;
        int err = 0;
        int64_t got = m_handle ? m_handle->ReadAt((m_base + lba) * SECTOR_SIZE, buffer, bytes, &err) : -1;
        if (got < 0) got = 0;
        std::memset(static_cast<uint8_t*>(buffer) + got, 0, bytes - static_cast<size_t>(got));
        return count;
    }
    uint64_t WriteSectors(uint64_t, uint64_t, const void*) override {
        ADD_FAILURE() << "the NTFS reader wrote to the device";
        return 0;
    }

    std::vector<std::pair<uint64_t, uint64_t>> reads;  // (first sector, sectors) per request

private:
    DevHandle m_handle;
    uint64_t m_base;
};

// A whole file in one read (images are tens of megabytes).
inline std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary | std::ios::ate);
    std::vector<uint8_t> data(f ? static_cast<size_t>(f.tellg()) : 0);
    f.seekg(0);
    f.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return data;
}

// Sends every log level to a file for the life of the object.
class LogCapture {
public:
    LogCapture() : m_savedMask(GetLogMask()) {
        OpenLogFile((m_dir / "test.log").c_str());
        SetLogMask(0xFFFF);
    }
    ~LogCapture() { SetLogMask(m_savedMask); }
    std::string Text() const {
        std::ifstream f(m_dir / "test.log");
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    bool Has(const std::string& text) const { return Text().find(text) != std::string::npos; }

private:
    testutil::TempDir m_dir;
    unsigned m_savedMask;
};

inline bool HaveNtfsTools() {
    return testutil::HaveTool("mkntfs") && testutil::HaveTool("ntfscp") && testutil::HaveTool("sfdisk") &&
           testutil::HaveTool("fls") && testutil::HaveTool("istat");
}

inline std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') q += "'\\''";
        else q += c;
    }
    return q + "'";
}

// What sleuthkit reports about one file.
struct TskFile {
    int64_t inode = -1;
    bool resident = false;
    bool sparse = false;
    int64_t size = -1;
    std::vector<int64_t> clusters;  // of the unnamed $DATA, 0 for sparse clusters
    int64_t modified = 0;           // $STANDARD_INFORMATION's modification time: seconds since 1970
    uint32_t modifiedNsec = 0;      // and nanoseconds
    int64_t parent = -1;            // the first $FILE_NAME's parent record
};

// fls: the allocated regular files of the volume at sector `offset`, by path.
inline std::map<std::string, int64_t> FlsFiles(const std::string& image, uint64_t offset) {
    std::map<std::string, int64_t> files;
    std::istringstream in(testutil::Capture("fls -r -p -F -u -o " + std::to_string(offset) + " " + Quote(image)));
    std::string line;
    while (std::getline(in, line)) {
        // "r/r 64-128-2:\tDCIM/IMG.JPG"
        size_t tab = line.find('\t');
        if (line.rfind("r/r ", 0) != 0 || tab == std::string::npos) continue;
        files[line.substr(tab + 1)] = std::stoll(line.substr(4));
    }
    return files;
}

// fls: deleted names of the volume.
inline std::vector<std::string> FlsDeleted(const std::string& image, uint64_t offset) {
    std::vector<std::string> names;
    std::istringstream in(testutil::Capture("fls -r -p -F -d -o " + std::to_string(offset) + " " + Quote(image)));
    std::string line;
    while (std::getline(in, line)) {
        size_t tab = line.find('\t');
        if (tab != std::string::npos) names.push_back(line.substr(tab + 1));
    }
    return names;
}

// istat: the unnamed $DATA attribute of an inode.
inline TskFile Istat(const std::string& image, uint64_t offset, int64_t inode) {
    TskFile f;
    f.inode = inode;
    std::istringstream in(
        testutil::Capture("TZ=UTC istat -o " + std::to_string(offset) + " " + Quote(image) + " " + std::to_string(inode)));
    std::string line;
    bool inData = false;
    while (std::getline(in, line)) {
        // "File Modified:\t2026-12-09 13:33:51.287040200 (UTC)", first in $STANDARD_INFORMATION.
        if (line.rfind("File Modified:\t", 0) == 0 && f.modified == 0) {
            std::tm tm{};
            unsigned nsec = 0;
            if (sscanf(line.c_str() + 15, "%d-%d-%d %d:%d:%d.%u", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                       &tm.tm_min, &tm.tm_sec, &nsec) == 7) {
                tm.tm_year -= 1900;
                tm.tm_mon -= 1;
                f.modified = static_cast<int64_t>(timegm(&tm));
                f.modifiedNsec = nsec;
            }
            continue;
        }
        if (line.rfind("Parent MFT Entry: ", 0) == 0 && f.parent < 0) {
            f.parent = std::stoll(line.substr(18));
            continue;
        }
        if (line.rfind("Type: ", 0) == 0) {
            inData = line.find("$DATA (128-") != std::string::npos && line.find("Name: N/A") != std::string::npos;
            if (inData) {
                f.resident = line.find("Non-Resident") == std::string::npos;
                f.sparse = line.find("Sparse") != std::string::npos;
                size_t at = line.find("size: ");
                if (at != std::string::npos) f.size = std::stoll(line.substr(at + 6));
            }
            continue;
        }
        if (!inData) continue;
        std::istringstream words(line);
        int64_t c;
        while (words >> c) f.clusters.push_back(c);
    }
    return f;
}

// fsstat's report as "key: value" pairs ("Cluster Size", "First Cluster of MFT").
inline std::map<std::string, std::string> Fsstat(const std::string& image, uint64_t offset) {
    std::map<std::string, std::string> values;
    std::istringstream in(testutil::Capture("fsstat -o " + std::to_string(offset) + " " + Quote(image)));
    std::string line;
    while (std::getline(in, line)) {
        size_t colon = line.find(':');
        if (colon == std::string::npos || values.count(line.substr(0, colon))) continue;
        size_t b = line.find_first_not_of(" \t", colon + 1);
        values[line.substr(0, colon)] = b == std::string::npos ? std::string() : line.substr(b);
    }
    return values;
}

// An image built by mkntfsimage.sh with `args` (options and actions around
// the image path, which stands as {}), kept in the build tree under `name`
// and rebuilt only when the builder changed: every test process of a run
// shares it. Empty when it cannot be built; *fuse is set to false when the
// build needed FUSE and had to go without the actions that need it (given
// as `fuseArgs`, appended to `args`).
inline std::string CachedImage(const std::string& name, const std::string& args,
                               const std::string& fuseArgs = "", bool* fuse = nullptr) {
    std::string dir = std::string(LUMIVISTA_BINARY_DIR) + "/test-images";
    char key[17];
    snprintf(key, sizeof key, "%016zx", std::hash<std::string>{}(args + "|" + fuseArgs));
    std::string image = dir + "/" + name + "-" + key + ".img";
    std::string noFuse = image + ".nofuse";
    std::string script = testutil::ToolsDir() + "/mkntfsimage.sh";
    auto build = [&](const std::string& a) {
        std::string full = a;
        size_t at = full.find("{}");
        if (at != std::string::npos) full.replace(at, 2, Quote(image + ".tmp"));
        return "LC_ALL=C.UTF-8 bash " + Quote(script) + " " + full;
    };
    // One builder at a time; the others wait and then find it built.
    std::string cmd = "mkdir -p " + Quote(dir) + " && exec 9>" + Quote(dir + "/.lock") + " && flock 9 && " +
                      "if [ ! -f " + Quote(image) + " ] || [ " + Quote(script) + " -nt " + Quote(image) + " ]; then " +
                      "rm -f " + Quote(noFuse) + "; " + build(args + " " + fuseArgs) + "; rc=$?; " +
                      "if [ $rc -eq 3 ]; then touch " + Quote(noFuse) + "; " + build(args) + " || exit 1; " +
                      "elif [ $rc -ne 0 ]; then exit 1; fi; mv " + Quote(image + ".tmp") + " " + Quote(image) + "; fi";
    int status = 0;
    std::string out = testutil::Capture(cmd, &status);
    if (status != 0) {
        ADD_FAILURE() << "cannot build " << name << ":\n" << out;
        return {};
    }
    if (fuse) *fuse = !std::filesystem::exists(noFuse);
    return image;
}

}  // namespace ntfstest
