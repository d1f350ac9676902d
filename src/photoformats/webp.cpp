// WebP: a RIFF file, "RIFF", the little-endian size of what follows it,
// "WEBP", then chunks (four-letter type, little-endian size, data padded to
// an even length) that fill the RIFF size exactly. The first chunk is the
// image ("VP8 " lossy, "VP8L" lossless) or the extended header "VP8X".
#include <cstring>

#include "photoformats/byteorder.h"
#include "photoformats/readers.h"

using namespace byteorder;
using namespace std::string_view_literals;

namespace {

constexpr int kMaxChunks = 65536;

bool Is(Bytes b, uint64_t off, std::string_view fourcc) {
    return Fits(b, off, 4) && std::memcmp(b.data() + off, fourcc.data(), 4) == 0;
}

bool PrintableFourcc(Bytes b, uint64_t off) {
    for (uint64_t i = off; i < off + 4; ++i)
        if (!Fits(b, i, 1) || b[i] < 0x20 || b[i] > 0x7E) return false;
    return true;
}

// The first chunk's own header says it is a WebP image chunk.
bool FirstChunkValid(Bytes h) {
    uint32_t size = Le32(h, 16);
    if (Is(h, 12, "VP8 "sv)) {
        // A key frame: frame tag, then the start code 9D 01 2A.
        return size >= 10 && Fits(h, 20, 6) && (h[20] & 1) == 0 && h[23] == 0x9D && h[24] == 0x01 && h[25] == 0x2A;
    }
    if (Is(h, 12, "VP8L"sv)) return size >= 5 && Fits(h, 20, 1) && h[20] == 0x2F;
    if (Is(h, 12, "VP8X"sv)) return size == 10;
    return false;
}

}  // namespace

bool IsWebpSignature(std::span<const uint8_t> head) {
    return Is(head, 0, "RIFF"sv) && Is(head, 8, "WEBP"sv) && Le32(head, 4) >= 4 + 8 + 5 && FirstChunkValid(head);
}

StructureResult ReadWebpStructure(IByteSource& src) {
    uint8_t h[32] = {};
    ReadStatus s = ReadExact(src, 0, std::span<uint8_t>(h, 26));
    if (s == ReadStatus::Error) return {StructureVerdict::Broken, 0, "unreadable RIFF header"sv, {}};
    if (s != ReadStatus::Ok || !IsWebpSignature(h)) return {StructureVerdict::NotThisFormat, 0, "no WebP header"sv, {}};
    const uint64_t end = 8 + uint64_t{Le32(h, 4)};
    const uint64_t total = src.Size();

    bool image = false;
    uint64_t pos = 12;
    for (int chunks = 0; pos < end; ++chunks) {
        if (chunks == kMaxChunks) return {StructureVerdict::Broken, pos, "too many RIFF chunks"sv, {}};
        uint8_t c[8];
        s = ReadExact(src, pos, c);
        if (s == ReadStatus::Error) return {StructureVerdict::Broken, pos, "unreadable RIFF chunk"sv, {}};
        if (s != ReadStatus::Ok) return {StructureVerdict::Broken, pos, "RIFF chunk past the end"sv, {}};
        if (!PrintableFourcc(c, 0)) return {StructureVerdict::Broken, pos, "RIFF chunk type is no text"sv, {}};
        uint64_t size = Le32(c, 4);
        uint64_t next = pos + 8 + size + (size & 1);
        if (next > end) return {StructureVerdict::Broken, pos, "RIFF chunk past the RIFF size"sv, {}};
        if (next > total) return {StructureVerdict::Broken, pos, "RIFF chunk past the end"sv, {}};
        if (Is(c, 0, "VP8 "sv) || Is(c, 0, "VP8L"sv) || Is(c, 0, "ANMF"sv)) image = true;
        pos = next;
    }
    if (!image) return {StructureVerdict::Broken, pos, "WebP without an image chunk"sv, {}};
    return {StructureVerdict::Whole, end, {}, {}};
}
