// BMP: a 14-byte file header ("BM", file size, two reserved words, offset of
// the pixels) and an info header whose size names its kind (12: OS/2 1.x; 16
// to 64: OS/2 2.x; 40, 52, 56, 108, 124: Windows). Nothing after the headers
// can be checked: the pixels are any bytes. The photo's length is the file
// size field when it agrees with what the headers say the pixels (and a
// colour profile) take, else what they take.
#include <algorithm>
#include <cstring>

#include "photoformats/bytecursor.h"
#include "photoformats/readers.h"

namespace {

constexpr uint32_t kFileHeaderBytes = 14;
constexpr uint32_t kMaxSide = 1u << 18;          // pixels; panoramas stay well below
constexpr uint64_t kSizeFieldSlack = 64 * 1024;  // padding some writers leave after the pixels

StructureResult Not(std::string_view why) { return {StructureVerdict::NotThisFormat, 0, why, {}}; }

uint32_t Le16(const uint8_t* p) { return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8; }
uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

bool KnownInfoSize(uint32_t n) {
    return n == 12 || n == 16 || n == 40 || n == 52 || n == 56 || n == 64 || n == 108 || n == 124;
}

}  // namespace

StructureResult ReadBmpStructure(IByteSource& src) {
    CByteCursor c(src);
    uint8_t h[kFileHeaderBytes + 124] = {};
    if (!c.Read(std::span<uint8_t>(h, kFileHeaderBytes + 4))) return Not("BMP header cut short");
    if (h[0] != 'B' || h[1] != 'M') return Not("no BMP signature");
    const uint32_t fileSize = Le32(h + 2);
    const uint32_t offset = Le32(h + 10);
    const uint32_t infoSize = Le32(h + 14);
    if (!KnownInfoSize(infoSize)) return Not("BMP info header size unknown");
    if (!c.Read(std::span<uint8_t>(h + kFileHeaderBytes + 4, infoSize - 4))) return Not("BMP header cut short");
    const uint8_t* info = h + kFileHeaderBytes;

    // OS/2 1.x: 16-bit width and height, planes, bit count. The others:
    // signed 32-bit width and height (a negative height stores rows top
    // down), planes, bit count, compression, size of the pixel data.
    uint32_t width = 0, planes = 0, bits = 0, compression = 0, imageSize = 0;
    int64_t height = 0;
    if (infoSize == 12) {
        width = Le16(info + 4);
        height = Le16(info + 6);
        planes = Le16(info + 8);
        bits = Le16(info + 10);
    } else {
        width = Le32(info + 4);
        height = static_cast<int32_t>(Le32(info + 8));
        planes = Le16(info + 12);
        bits = Le16(info + 14);
        if (infoSize >= 20) compression = Le32(info + 16);
        if (infoSize >= 24) imageSize = Le32(info + 20);
    }
    const bool os2 = infoSize == 16 || infoSize == 64;
    const bool topDown = height < 0;
    if (topDown) height = -height;
    if (planes != 1) return Not("BMP plane count not 1");
    if (width == 0 || width > kMaxSide || height == 0 || height > kMaxSide) return Not("BMP dimensions not valid");

    // Compression against bit count: 0 none; 1 RLE8; 2 RLE4; 3 bit fields
    // (OS/2: Huffman 1D); 4 JPEG (OS/2: RLE24); 5 PNG; 6 bit fields with alpha.
    bool ok = false;
    bool packed = false;  // pixel bytes follow from the dimensions
    switch (compression) {
    case 0:
        ok = bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32 || bits == 64;
        packed = true;
        break;
    case 1: ok = bits == 8 && !topDown; break;
    case 2: ok = bits == 4 && !topDown; break;
    case 3:
        ok = os2 ? bits == 1 : (bits == 16 || bits == 32);
        packed = !os2;
        break;
    case 4: ok = os2 ? bits == 24 : bits == 0; break;
    case 5: ok = !os2 && bits == 0; break;
    case 6:
        ok = !os2 && (bits == 16 || bits == 32);
        packed = true;
        break;
    default: ok = false;
    }
    if (!ok) return Not("BMP bit count and compression not valid");
    if (offset < kFileHeaderBytes + infoSize) return Not("BMP pixels overlap its headers");

    // Where the headers say the photo ends: its pixels, or a colour profile
    // stored after them (V5 headers: profile offset from the info header's
    // start at 112, its size at 116, colour space 'MBED' at 56).
    uint64_t end = 0;
    if (packed) {
        const uint64_t rowBytes = (uint64_t{width} * bits + 31) / 32 * 4;
        end = offset + rowBytes * static_cast<uint64_t>(height);
    } else if (imageSize > 0) {
        end = uint64_t{offset} + imageSize;
    }
    if (end > 0 && infoSize == 124 && Le32(info + 56) == 0x4D424544) {
        const uint64_t profileEnd = uint64_t{kFileHeaderBytes} + Le32(info + 112) + Le32(info + 116);
        end = std::max(end, profileEnd);
    }

    StructureResult r{StructureVerdict::Whole, fileSize, {}, {}, true};
    if (end == 0) {
        // Compressed pixels of unstated size: only the size field can tell.
        if (fileSize <= offset)
            return {StructureVerdict::Unbounded, 0, "BMP compressed pixels of unknown size", {}};
    } else if (fileSize < end || fileSize - end > kSizeFieldSlack) {
        r.length = end;
        r.why = fileSize == 0 ? "BMP file size field 0: length from its pixels"
                              : "BMP file size field disagrees with its pixels: length from its pixels";
    }
    // Only the headers were found good: the pixels cannot be checked.
    if (r.length > c.Size())
        return {StructureVerdict::Broken, std::min<uint64_t>(offset, c.Size()), "BMP passes the end of the bytes", {}};
    return r;
}
