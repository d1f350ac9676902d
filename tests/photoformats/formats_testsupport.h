// What the photo-format tests share: the photos made by real tools
// (tools/formats.sh), a byte source that can fail, and reading a candidate
// the way the raw scan does: from its first byte, with whatever follows it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "photoformats/photoformat.h"
#include "testutil.h"

namespace fmtest {

// The folder of tools/formats.sh's photos (cached across runs), or empty.
inline std::string FormatsDir() {
    static const std::string dir = [] {
        std::string photos = testutil::PhotosDir();
        if (photos.empty()) return std::string();
        for (const char* tool : {"cwebp", "heif-enc", "convert"})
            if (!testutil::HaveTool(tool)) return std::string();
        std::string out = testutil::Capture("bash " + testutil::ToolsDir() + "/formats.sh " + photos);
        while (!out.empty() && out.back() == '\n') out.pop_back();
        return out;
    }();
    return dir;
}

// A small real JPEG (ImageMagick), as a camera's preview.
inline std::vector<uint8_t> SmallJpeg(int width = 160, int height = 120) {
    testutil::TempDir t;
    std::string path = t / "p.jpg";
    if (testutil::Run("convert -size " + std::to_string(width) + "x" + std::to_string(height) +
                      " plasma:fractal -seed 7 -quality 80 " + path) != 0)
        return {};
    return testutil::ReadFileBytes(path);
}

// Bytes that no format reads as its own: what lies after a photo in free space.
inline std::vector<uint8_t> Junk(size_t n, uint32_t seed = 1) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

// A byte source whose bytes from `badFrom` on cannot be read.
class FailingSource : public IByteSource {
public:
    FailingSource(std::span<const uint8_t> bytes, uint64_t badFrom) : m_mem(bytes), m_bad(badFrom) {}
    int64_t Read(uint64_t pos, std::span<uint8_t> out) override {
        if (pos + out.size() > m_bad) return -1;
        return m_mem.Read(pos, out);
    }
    uint64_t Size() const override { return m_mem.Size(); }

private:
    CMemoryByteSource m_mem;
    uint64_t m_bad;
};

// The format whose signature the bytes begin with, and what its reader says
// of them followed by `after` junk bytes.
struct Read {
    const PhotoFormat* matched = nullptr;
    StructureResult result;
    const PhotoFormat* stored = nullptr;  // the format the photo is stored as
};

inline Read ReadCandidate(const std::vector<uint8_t>& photo, size_t after = 4096) {
    std::vector<uint8_t> bytes = photo;
    std::vector<uint8_t> tail = Junk(after);
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    Read r;
    r.matched = MatchPhotoFormat(std::span<const uint8_t>(bytes.data(), std::min<size_t>(bytes.size(), 512)));
    if (!r.matched) return r;
    CMemoryByteSource src(bytes);
    r.result = r.matched->readStructure(src);
    r.stored = &PhotoFormatOfResult(*r.matched, r.result);
    return r;
}

inline const char* VerdictName(StructureVerdict v) {
    switch (v) {
    case StructureVerdict::NotThisFormat: return "NotThisFormat";
    case StructureVerdict::Whole: return "Whole";
    case StructureVerdict::Broken: return "Broken";
    case StructureVerdict::Unbounded: return "Unbounded";
    }
    return "?";
}

// exiftool's answer for one tag of a file (-s3), or "" when it has none.
inline std::string Exiftool(const std::string& path, const std::string& tag) {
    std::string out = testutil::Capture("exiftool -s3 -" + tag + " '" + path + "' 2>/dev/null");
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

}  // namespace fmtest
