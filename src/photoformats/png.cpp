// PNG: an eight-byte signature, then chunks up to IEND. A chunk is a
// big-endian length (at most 2^31 - 1), a four-letter type, the data, and a
// CRC-32 of the type and the data. The first chunk is IHDR (13 bytes; Apple's
// optimised files put a CgBI chunk before it).
#include <libdeflate.h>

#include <algorithm>
#include <cstring>

#include "photoformats/bytecursor.h"
#include "photoformats/readers.h"

namespace {

constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr uint32_t kMaxChunkLength = 0x7FFFFFFF;

StructureResult Not(std::string_view why) { return {StructureVerdict::NotThisFormat, 0, why, {}}; }
StructureResult Broken(uint64_t good, std::string_view why) { return {StructureVerdict::Broken, good, why, {}}; }
StructureResult Ended(const CByteCursor& c, uint64_t good) {
    return Broken(good, c.Failed() ? "PNG bytes unreadable" : "PNG cut short");
}

bool IsLetter(uint8_t b) { return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z'); }

// CRC-32 of `n` bytes from the cursor on, added to `crc`; the cursor moves
// past them. False when fewer than `n` could be had.
bool Crc(CByteCursor& c, uint64_t n, uint32_t& crc) {
    while (n > 0) {
        std::span<const uint8_t> w = c.Peek();
        if (w.empty()) return false;
        const size_t k = static_cast<size_t>(std::min<uint64_t>(n, w.size()));
        crc = libdeflate_crc32(crc, w.data(), k);
        c.Skip(k);
        n -= k;
    }
    return true;
}

// IHDR fields: width, height (1 to 2^31 - 1), bit depth and colour type in
// one of the combinations PNG allows, compression and filter method 0,
// interlace method 0 or 1.
bool ValidHeader(const uint8_t* d) {
    auto be32 = [](const uint8_t* p) {
        return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
               static_cast<uint32_t>(p[2]) << 8 | p[3];
    };
    const uint32_t w = be32(d), h = be32(d + 4);
    if (w == 0 || h == 0 || w > kMaxChunkLength || h > kMaxChunkLength) return false;
    const uint8_t depth = d[8], colour = d[9];
    bool ok = false;
    switch (colour) {
    case 0: ok = depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16; break;
    case 3: ok = depth == 1 || depth == 2 || depth == 4 || depth == 8; break;
    case 2: case 4: case 6: ok = depth == 8 || depth == 16; break;
    default: ok = false;
    }
    return ok && d[10] == 0 && d[11] == 0 && d[12] <= 1;
}

}  // namespace

StructureResult ReadPngStructure(IByteSource& src) {
    CByteCursor c(src);
    uint8_t sig[8];
    if (!c.Read(sig)) return Not("PNG header cut short");
    if (std::memcmp(sig, kSignature, sizeof sig) != 0) return Not("no PNG signature");

    bool first = true;
    // Every chunk moves the cursor on by at least 12 bytes.
    for (;;) {
        const uint64_t at = c.Pos();
        uint8_t head[8];
        if (!c.Read(head)) return first ? Not("PNG header cut short") : Ended(c, at);
        const uint32_t len = static_cast<uint32_t>(head[0]) << 24 | static_cast<uint32_t>(head[1]) << 16 |
                             static_cast<uint32_t>(head[2]) << 8 | head[3];
        const uint8_t* type = head + 4;
        if (first) {
            // The header proper: IHDR, or CgBI and then IHDR.
            if (std::memcmp(type, "CgBI", 4) == 0) {
                if (len != 4) return Not("PNG CgBI chunk not valid");
            } else if (std::memcmp(type, "IHDR", 4) != 0 || len != 13) {
                return Not("no PNG header chunk");
            }
        }
        if (len > kMaxChunkLength) return Broken(at, "PNG chunk length above 2^31 - 1");
        if (!IsLetter(type[0]) || !IsLetter(type[1]) || !IsLetter(type[2]) || !IsLetter(type[3]))
            return Broken(at, "PNG chunk type not four letters");
        if (uint64_t{len} + 4 > c.Left()) return Broken(at, "PNG chunk passes the end of the bytes");

        uint32_t crc = libdeflate_crc32(0, type, 4);
        if (std::memcmp(type, "IHDR", 4) == 0) {
            uint8_t d[13];
            if (len != 13 || !c.Read(d)) return Broken(at, "PNG header chunk not valid");
            if (!ValidHeader(d)) return Broken(at, "PNG header fields not valid");
            crc = libdeflate_crc32(crc, d, sizeof d);
        } else if (!Crc(c, len, crc)) {
            return Ended(c, at);
        }
        uint32_t stored = 0;
        if (!c.Be32(stored)) return Ended(c, at);
        if (stored != crc) return Broken(at, "PNG chunk CRC mismatch");
        if (std::memcmp(type, "IHDR", 4) == 0) first = false;
        if (std::memcmp(type, "IEND", 4) == 0) {
            if (first) return Broken(at, "PNG ends before its header chunk");
            if (len != 0) return Broken(at, "PNG IEND chunk not empty");
            return {StructureVerdict::Whole, c.Pos(), {}, {}};
        }
    }
}
