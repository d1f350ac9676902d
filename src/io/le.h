// Bounds-checked little-endian readers for on-disk structures.
// Every reader answers 0 (and `ok` false, where given) when the field would
// lie outside the buffer, so a short or corrupt structure never reads past it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace le {

using Bytes = std::span<const uint8_t>;

inline bool fits(Bytes b, size_t off, size_t width) {
    return off <= b.size() && width <= b.size() - off;
}

inline uint8_t u8(Bytes b, size_t off) { return fits(b, off, 1) ? b[off] : 0; }

inline uint16_t u16(Bytes b, size_t off) {
    if (!fits(b, off, 2)) return 0;
    return static_cast<uint16_t>(b[off] | (b[off + 1] << 8));
}

inline uint32_t u32(Bytes b, size_t off) {
    if (!fits(b, off, 4)) return 0;
    return static_cast<uint32_t>(b[off]) | (static_cast<uint32_t>(b[off + 1]) << 8) |
           (static_cast<uint32_t>(b[off + 2]) << 16) | (static_cast<uint32_t>(b[off + 3]) << 24);
}

inline uint64_t u64(Bytes b, size_t off) {
    if (!fits(b, off, 8)) return 0;
    return static_cast<uint64_t>(u32(b, off)) | (static_cast<uint64_t>(u32(b, off + 4)) << 32);
}

// Unsigned value of `width` bytes (0..8).
inline uint64_t uN(Bytes b, size_t off, unsigned width) {
    if (width > 8 || !fits(b, off, width)) return 0;
    uint64_t v = 0;
    for (unsigned i = 0; i < width; ++i) v |= static_cast<uint64_t>(b[off + i]) << (8 * i);
    return v;
}

// Sign-extended value of `width` bytes (1..8).
inline int64_t sN(Bytes b, size_t off, unsigned width) {
    if (width == 0 || width > 8 || !fits(b, off, width)) return 0;
    uint64_t v = uN(b, off, width);
    if (width < 8 && (v & (uint64_t{1} << (8 * width - 1)))) v |= ~uint64_t{0} << (8 * width);
    return static_cast<int64_t>(v);
}

inline void put16(std::span<uint8_t> b, size_t off, uint16_t v) {
    if (off <= b.size() && b.size() - off >= 2) { b[off] = v & 0xFF; b[off + 1] = v >> 8; }
}

inline void put32(std::span<uint8_t> b, size_t off, uint32_t v) {
    if (off <= b.size() && b.size() - off >= 4)
        for (int i = 0; i < 4; ++i) b[off + i] = static_cast<uint8_t>(v >> (8 * i));
}

inline void put64(std::span<uint8_t> b, size_t off, uint64_t v) {
    if (off <= b.size() && b.size() - off >= 8)
        for (int i = 0; i < 8; ++i) b[off + i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace le
