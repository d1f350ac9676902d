// Every structure reader of the photo-format table on fuzzed bytes, through
// a byte source that can fail from a chosen byte on, as an unreadable sector
// does, and the search for a RAW file's embedded JPEGs. Besides memory errors, stops on verdicts that are plainly wrong: a
// length past the bytes there are, a whole photo of no bytes, an extension
// the table does not know, or reads past the source's size.
//
// Input: byte 0 the format's index in the table (255 and above the table's
// size: every format in turn), bytes 1-2 the first unreadable 512-byte
// sector (u16, little-endian, 0: none), byte 3 unused, then the candidate's
// bytes from its first one.
#include <cstdint>
#include <span>

#include "fuzz_support.h"
#include "io/le.h"
#include "photoformats/photoformat.h"

namespace {

class Source : public IByteSource {
public:
    Source(std::span<const uint8_t> bytes, uint64_t badFrom) : m_bytes(bytes), m_bad(badFrom) {}
    int64_t Read(uint64_t pos, std::span<uint8_t> out) override {
        FUZZ_CHECK(pos <= m_bytes.size());  // a reader never asks past Size()
        ++m_reads;
        if (m_bad && pos + out.size() > m_bad) return -1;
        return CMemoryByteSource(m_bytes).Read(pos, out);
    }
    uint64_t Size() const override { return m_bytes.size(); }
    uint64_t Reads() const { return m_reads; }

private:
    std::span<const uint8_t> m_bytes;
    uint64_t m_bad;
    uint64_t m_reads = 0;
};

void Check(const PhotoFormat& f, std::span<const uint8_t> bytes, uint64_t bad) {
    Source src(bytes, bad);
    StructureResult r = f.readStructure(src);
    FUZZ_CHECK(r.length <= bytes.size());
    if (r.verdict == StructureVerdict::Whole) FUZZ_CHECK(r.length > 0);
    if (!r.extension.empty()) FUZZ_CHECK(PhotoFormatOfExtension(r.extension) != nullptr);
    // Bounded work: a reader reads directories and headers, not the photo.
    FUZZ_CHECK(src.Reads() <= (1u << 20));
    (void)f.matchSignature(bytes.first(std::min<size_t>(bytes.size(), 512)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    le::Bytes in(data, size);
    const size_t which = le::u8(in, 0);
    const uint64_t bad = uint64_t{le::u16(in, 1)} * 512;
    std::span<const uint8_t> bytes(data + 4, size - 4);
    std::span<const PhotoFormat> formats = PhotoFormats();
    if (which < formats.size()) {
        Check(formats[which], bytes, bad);
    } else {
        for (const PhotoFormat& f : formats) Check(f, bytes, bad);
    }
    (void)MatchPhotoFormat(bytes.first(std::min<size_t>(bytes.size(), 512)));
    Source previewSrc(bytes, bad);
    for (const ByteRange& r : EmbeddedJpegs(previewSrc)) {
        FUZZ_CHECK(r.offset <= bytes.size() && r.length <= bytes.size() - r.offset);
        FUZZ_CHECK(r.length >= 3 && bytes[r.offset] == 0xFF && bytes[r.offset + 1] == 0xD8);
    }
    (void)PhotoFormatOfName(std::string_view(reinterpret_cast<const char*>(bytes.data()), std::min<size_t>(bytes.size(), 64)));
    return 0;
}
