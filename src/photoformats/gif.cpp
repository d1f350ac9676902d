// GIF: "GIF87a" or "GIF89a", the logical screen descriptor and its global
// colour table, then blocks: extensions (0x21, a label, sub-blocks) and images
// (0x2C, a descriptor, a local colour table, the LZW code size, sub-blocks),
// up to the trailer 0x3B. Sub-blocks are a length byte and that many bytes,
// ended by a length of 0.
#include <cstring>

#include "photoformats/bytecursor.h"
#include "photoformats/readers.h"

namespace {

StructureResult Not(std::string_view why) { return {StructureVerdict::NotThisFormat, 0, why, {}}; }
StructureResult Broken(uint64_t good, std::string_view why) { return {StructureVerdict::Broken, good, why, {}}; }
StructureResult Ended(const CByteCursor& c, uint64_t good) {
    return Broken(good, c.Failed() ? "GIF bytes unreadable" : "GIF cut short");
}

// Bytes of a colour table announced by a packed field's flag (bit 7) and size (bits 0-2).
uint64_t ColourTableBytes(uint8_t packed) { return (packed & 0x80) ? 3ull << ((packed & 7) + 1) : 0; }

// Passes over sub-blocks up to and including the terminating empty one.
// False when the bytes ran out first.
bool SkipSubBlocks(CByteCursor& c) {
    for (;;) {
        std::span<const uint8_t> w = c.Peek();
        if (w.empty()) return false;
        // The chain is followed inside the window as far as it goes.
        size_t i = 0;
        while (i < w.size() && w[i] != 0) i += 1 + static_cast<size_t>(w[i]);
        if (i < w.size()) return c.Skip(i + 1);
        if (!c.Skip(i)) return false;
    }
}

}  // namespace

StructureResult ReadGifStructure(IByteSource& src) {
    CByteCursor c(src);
    // Signature and version (6), screen width and height (2 + 2, little
    // endian), packed fields, background colour index, pixel aspect ratio.
    uint8_t head[13];
    if (!c.Read(head)) return Not("GIF header cut short");
    if (std::memcmp(head, "GIF87a", 6) != 0 && std::memcmp(head, "GIF89a", 6) != 0) return Not("no GIF signature");
    if (!c.Skip(ColourTableBytes(head[10]))) return Ended(c, c.Pos());

    bool image = false;
    // Every block moves the cursor on by at least two bytes.
    for (;;) {
        const uint64_t at = c.Pos();
        const int block = c.Byte();
        if (block < 0) return Ended(c, at);
        if (block == 0x3B) {
            if (!image) return Broken(at, "GIF ends before its first image");
            return {StructureVerdict::Whole, c.Pos(), {}, {}};
        }
        if (block == 0x21) {
            if (c.Byte() < 0 || !SkipSubBlocks(c)) return Ended(c, at);
        } else if (block == 0x2C) {
            // Left, top, width, height (2 each), packed fields; then the
            // local colour table and the LZW minimum code size (2 to 8; a
            // few encoders write up to 11).
            uint8_t d[9];
            if (!c.Read(d)) return Ended(c, at);
            if ((d[4] | d[5]) == 0 || (d[6] | d[7]) == 0) return Broken(at, "GIF image of no size");
            if (!c.Skip(ColourTableBytes(d[8]))) return Ended(c, at);
            const int codeSize = c.Byte();
            if (codeSize < 0) return Ended(c, at);
            if (codeSize < 1 || codeSize > 11) return Broken(at, "GIF LZW code size not valid");
            if (!SkipSubBlocks(c)) return Ended(c, at);
            image = true;
        } else {
            return Broken(at, "GIF block neither an extension, an image nor the trailer");
        }
    }
}
