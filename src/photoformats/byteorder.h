// Bounds-checked readers of numbers in either byte order, and exact reads
// through a byte source: what the structure readers of the TIFF family, the
// ISO base media files and RIFF share. A field outside its buffer reads as 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "photoformats/photoformat.h"

namespace byteorder {

using Bytes = std::span<const uint8_t>;

inline bool Fits(Bytes b, uint64_t off, uint64_t width) { return off <= b.size() && width <= b.size() - off; }

inline uint16_t Be16(Bytes b, uint64_t off) {
    return Fits(b, off, 2) ? static_cast<uint16_t>(b[off] << 8 | b[off + 1]) : 0;
}
inline uint32_t Be32(Bytes b, uint64_t off) {
    if (!Fits(b, off, 4)) return 0;
    return static_cast<uint32_t>(b[off]) << 24 | static_cast<uint32_t>(b[off + 1]) << 16 |
           static_cast<uint32_t>(b[off + 2]) << 8 | b[off + 3];
}
inline uint64_t Be64(Bytes b, uint64_t off) {
    return Fits(b, off, 8) ? static_cast<uint64_t>(Be32(b, off)) << 32 | Be32(b, off + 4) : 0;
}
inline uint16_t Le16(Bytes b, uint64_t off) {
    return Fits(b, off, 2) ? static_cast<uint16_t>(b[off] | b[off + 1] << 8) : 0;
}
inline uint32_t Le32(Bytes b, uint64_t off) {
    if (!Fits(b, off, 4)) return 0;
    return static_cast<uint32_t>(b[off]) | static_cast<uint32_t>(b[off + 1]) << 8 |
           static_cast<uint32_t>(b[off + 2]) << 16 | static_cast<uint32_t>(b[off + 3]) << 24;
}

// A TIFF-style file's byte order, fixed by its header.
struct Order {
    bool big = false;
    uint16_t U16(Bytes b, uint64_t off) const { return big ? Be16(b, off) : Le16(b, off); }
    uint32_t U32(Bytes b, uint64_t off) const { return big ? Be32(b, off) : Le32(b, off); }
};

enum class ReadStatus { Ok, Short, Error };

// Reads exactly out.size() bytes at `pos`: Short when the source ends first,
// Error when it could not read them.
inline ReadStatus ReadExact(IByteSource& src, uint64_t pos, std::span<uint8_t> out) {
    if (out.empty()) return ReadStatus::Ok;
    if (pos > src.Size() || out.size() > src.Size() - pos) return ReadStatus::Short;
    int64_t n = src.Read(pos, out);
    if (n < 0) return ReadStatus::Error;
    return static_cast<uint64_t>(n) == out.size() ? ReadStatus::Ok : ReadStatus::Short;
}

}  // namespace byteorder
