// Fujifilm's RAF: a big-endian header with an offset directory of three
// blocks (the preview JPEG, the meta container, the sensor data), each an
// offset and a length from the file's start. The file ends with the last of
// them.
//
//   0  "FUJIFILMCCD-RAW " (16)   16 format version, four digits
//  20  camera id (8)             28 camera name (32, zero-terminated)
//  60  directory version, four digits, then 20 bytes
//  84  JPEG offset, length       92 meta container offset, length
// 100  sensor data offset, length
#include <algorithm>

#include "photoformats/byteorder.h"
#include "photoformats/readers.h"

using namespace byteorder;
using namespace std::string_view_literals;

namespace {

constexpr size_t kDirectoryEnd = 108;

bool Digits(Bytes b, size_t off) {
    for (size_t i = off; i < off + 4; ++i)
        if (!Fits(b, i, 1) || b[i] < '0' || b[i] > '9') return false;
    return true;
}

}  // namespace

bool IsRafSignature(std::span<const uint8_t> head) {
    static constexpr std::string_view kMagic = "FUJIFILMCCD-RAW "sv;
    return head.size() >= kDirectoryEnd && std::equal(kMagic.begin(), kMagic.end(), head.begin()) &&
           Digits(head, 16) && Digits(head, 60);
}

StructureResult ReadRafStructure(IByteSource& src) {
    uint8_t h[kDirectoryEnd];
    ReadStatus s = ReadExact(src, 0, h);
    if (s == ReadStatus::Error) return {StructureVerdict::Broken, 0, "unreadable RAF header"sv, {}};
    if (s != ReadStatus::Ok || !IsRafSignature(h)) return {StructureVerdict::NotThisFormat, 0, "no RAF header"sv, {}};

    uint64_t end = kDirectoryEnd;
    bool past = false;
    for (size_t at : {84u, 92u, 100u}) {
        uint64_t off = Be32(h, at), len = Be32(h, at + 4);
        // Every block lies after the directory and has bytes.
        if (off < kDirectoryEnd || len == 0) return {StructureVerdict::NotThisFormat, 0, "RAF block outside the file"sv, {}};
        if (off + len > src.Size()) past = true;
        else end = std::max(end, off + len);
    }
    uint8_t soi[2];
    s = ReadExact(src, Be32(h, 84), soi);
    if (s == ReadStatus::Error) return {StructureVerdict::Broken, kDirectoryEnd, "unreadable RAF preview"sv, "raf"sv};
    if (s == ReadStatus::Ok && (soi[0] != 0xFF || soi[1] != 0xD8))
        return {StructureVerdict::NotThisFormat, 0, "RAF preview is no JPEG"sv, {}};
    if (past) return {StructureVerdict::Broken, end, "RAF block past the end"sv, "raf"sv};
    return {StructureVerdict::Whole, end, {}, "raf"sv};
}

std::vector<ByteRange> RafEmbeddedJpegs(IByteSource& src) {
    uint8_t h[kDirectoryEnd];
    if (ReadExact(src, 0, h) != ReadStatus::Ok || !IsRafSignature(h)) return {};
    ByteRange r{Be32(h, 84), Be32(h, 88)};
    if (r.length == 0 || r.offset > src.Size() || r.length > src.Size() - r.offset) return {};
    return {r};
}
