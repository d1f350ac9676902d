// Byte sources and sample files for the structure reader tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "photoformats/photoformat.h"
#include "testutil.h"

namespace readertest {

// A sample photo of tools/format-samples.sh, read once per test program;
// empty when the samples cannot be made.
inline const std::vector<uint8_t>& Sample(const std::string& name) {
    static std::map<std::string, std::vector<uint8_t>> cache;
    auto it = cache.find(name);
    if (it == cache.end()) {
        const std::string dir = testutil::FormatSamplesDir();
        it = cache.emplace(name, dir.empty() ? std::vector<uint8_t>() : testutil::ReadFileBytes(dir + "/" + name)).first;
    }
    return it->second;
}

// Skips the test when the samples cannot be made here.
#define REQUIRE_SAMPLES()                                                                       \
    do {                                                                                        \
        if (testutil::FormatSamplesDir().empty()) GTEST_SKIP() << "no format samples (tools)"; \
    } while (0)

// Hands its bytes out in views of at most `piece` bytes, or through Read
// only, and answers -1 for any byte at or past `badFrom`: every window edge
// and every failure path of a reader is walked.
class ChoppySource : public IByteSource {
public:
    ChoppySource(std::span<const uint8_t> bytes, size_t piece, bool views = true, uint64_t badFrom = UINT64_MAX)
        : m_bytes(bytes), m_piece(piece), m_views(views), m_badFrom(badFrom) {}
    int64_t Read(uint64_t pos, std::span<uint8_t> out) override {
        ++reads;
        if (pos >= m_bytes.size()) return 0;
        size_t n = static_cast<size_t>(std::min<uint64_t>({out.size(), m_bytes.size() - pos, m_piece}));
        if (pos + n > m_badFrom) return -1;
        std::memcpy(out.data(), m_bytes.data() + pos, n);
        return static_cast<int64_t>(n);
    }
    uint64_t Size() const override { return m_bytes.size(); }
    std::span<const uint8_t> View(uint64_t pos, size_t max) override {
        if (!m_views || pos >= m_bytes.size()) return {};
        size_t n = static_cast<size_t>(std::min<uint64_t>({max, m_bytes.size() - pos, m_piece}));
        if (pos + n > m_badFrom) return {};
        return m_bytes.subspan(static_cast<size_t>(pos), n);
    }
    int reads = 0;

private:
    std::span<const uint8_t> m_bytes;
    size_t m_piece;
    bool m_views;
    uint64_t m_badFrom;
};

inline const char* Name(StructureVerdict v) {
    switch (v) {
    case StructureVerdict::NotThisFormat: return "NotThisFormat";
    case StructureVerdict::Whole: return "Whole";
    case StructureVerdict::Broken: return "Broken";
    case StructureVerdict::Unbounded: return "Unbounded";
    }
    return "?";
}

// What a test compares: the verdict, the length and the reason.
struct Outcome {
    StructureVerdict verdict;
    uint64_t length;
    std::string why;
    bool operator==(const Outcome&) const = default;
};
inline std::ostream& operator<<(std::ostream& os, const Outcome& o) {
    return os << Name(o.verdict) << " at " << o.length << " (" << o.why << ")";
}

inline Outcome Read(StructureResult (*reader)(IByteSource&), std::span<const uint8_t> bytes) {
    CMemoryByteSource src(bytes);
    StructureResult r = reader(src);
    return {r.verdict, r.length, std::string(r.why)};
}

// Position of `needle` in `hay` from `from` on, or npos.
inline size_t Find(const std::vector<uint8_t>& hay, std::string_view needle, size_t from = 0) {
    if (needle.empty() || hay.size() < needle.size()) return std::string::npos;
    for (size_t i = from; i + needle.size() <= hay.size(); ++i)
        if (std::memcmp(hay.data() + i, needle.data(), needle.size()) == 0) return i;
    return std::string::npos;
}

inline void PutBe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
inline void PutLe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace readertest
