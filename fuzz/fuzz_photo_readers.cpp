// Every structure reader of the photo-format table on fuzzed bytes (JPEG,
// PNG, GIF, BMP, TIFF and the TIFF-based RAW files, RAF, HEIF/AVIF/CR3,
// WebP, and whatever the table gains), the search for a RAW file's embedded
// JPEGs, and the signature and name tests.
//
// Input: one control byte, then the candidate photo's bytes.
//   bits 0-3  window piece: the second reading hands the bytes out in views
//             of 1 + this many bytes (reads give all they are asked, as
//             the byte source promises)
//   bit 4     the second reading gets reads only, no views
//   bits 5-7  when not 0, the second reading's source cannot read the bytes
//             from (size * this / 8) on, as past an unreadable sector
// Each reader answers within the bytes, in bounded work, with an extension
// the table knows, and the same whatever window it reads them through,
// unless part of them cannot be read.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "photoformats/photoformat.h"

namespace {

class PieceSource : public IByteSource {
public:
    PieceSource(std::span<const uint8_t> bytes, size_t piece, bool views, uint64_t badFrom)
        : m_bytes(bytes), m_piece(piece), m_views(views), m_badFrom(badFrom) {}
    int64_t Read(uint64_t pos, std::span<uint8_t> out) override {
        FUZZ_CHECK(pos <= m_bytes.size());  // a reader never asks past Size()
        ++m_calls;
        if (pos >= m_bytes.size()) return 0;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(out.size(), m_bytes.size() - pos));
        if (pos + n > m_badFrom) return -1;
        std::memcpy(out.data(), m_bytes.data() + pos, n);
        return static_cast<int64_t>(n);
    }
    uint64_t Size() const override { return m_bytes.size(); }
    std::span<const uint8_t> View(uint64_t pos, size_t max) override {
        ++m_calls;
        if (!m_views || pos >= m_bytes.size()) return {};
        const size_t n = static_cast<size_t>(std::min<uint64_t>({max, m_bytes.size() - pos, m_piece}));
        if (pos + n > m_badFrom) return {};
        return m_bytes.subspan(static_cast<size_t>(pos), n);
    }
    uint64_t Calls() const { return m_calls; }

private:
    std::span<const uint8_t> m_bytes;
    size_t m_piece;
    bool m_views;
    uint64_t m_badFrom;
    uint64_t m_calls = 0;
};

void CheckResult(const StructureResult& r, uint64_t size) {
    switch (r.verdict) {
    case StructureVerdict::NotThisFormat: FUZZ_CHECK(r.length == 0 && !r.why.empty()); break;
    case StructureVerdict::Whole: FUZZ_CHECK(r.length > 0 && r.length <= size); break;
    case StructureVerdict::Broken: FUZZ_CHECK(r.length <= size && !r.why.empty()); break;
    case StructureVerdict::Unbounded: FUZZ_CHECK(!r.why.empty()); break;
    default: FUZZ_CHECK(!"a verdict out of range");
    }
    if (!r.extension.empty()) FUZZ_CHECK(PhotoFormatOfExtension(r.extension) != nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t control = data[0];
    // A copy of exactly the photo's bytes, so a read past them is a finding.
    const std::vector<uint8_t> copy(data + 1, data + size);
    const std::span<const uint8_t> bytes(copy);
    const size_t piece = 1 + (control & 0x0F);
    const bool views = !(control & 0x10);
    const unsigned badEighths = control >> 5;
    const uint64_t badFrom = badEighths ? bytes.size() * badEighths / 8 : UINT64_MAX;

    for (const PhotoFormat& f : PhotoFormats()) {
        PieceSource whole(bytes, SIZE_MAX, true, UINT64_MAX);
        const StructureResult a = f.readStructure(whole);
        CheckResult(a, bytes.size());
        // Bounded work: a reader follows directories and headers, a piece at a time.
        FUZZ_CHECK(whole.Calls() <= (1u << 20));
        PieceSource pieces(bytes, piece, views, badFrom);
        const StructureResult b = f.readStructure(pieces);
        CheckResult(b, bytes.size());
        if (badFrom == UINT64_MAX) {
            FUZZ_CHECK(a.verdict == b.verdict && a.length == b.length && a.why == b.why);
        } else if (b.verdict == StructureVerdict::Whole) {
            // Nothing unreadable was needed: the same answer as with every byte.
            FUZZ_CHECK(a.verdict == b.verdict && a.length == b.length);
        }
    }

    const std::span<const uint8_t> head = bytes.first(std::min<size_t>(bytes.size(), 512));
    (void)MatchPhotoFormat(head);
    PieceSource previews(bytes, piece, views, badFrom);
    for (const ByteRange& r : EmbeddedJpegs(previews)) {
        FUZZ_CHECK(r.offset <= bytes.size() && r.length <= bytes.size() - r.offset);
        FUZZ_CHECK(r.length >= 3 && bytes[r.offset] == 0xFF && bytes[r.offset + 1] == 0xD8);
    }
    (void)PhotoFormatOfName(std::string_view(reinterpret_cast<const char*>(head.data()), std::min<size_t>(head.size(), 64)));
    return 0;
}
