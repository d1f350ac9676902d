// NTFS compressed attributes: LZNT1 compression units.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// A compressed attribute is cut into compression units of 16 clusters (the
// attribute header's compression unit exponent, 4 in every NTFS written so
// far). A unit whose clusters are all on disk is stored as it is, a unit with
// no clusters is zeros, and a unit with fewer clusters than its size holds
// those clusters' bytes LZNT1-compressed: 4 KiB blocks, each with a two-byte
// header, of literal bytes and back references.

// The largest unit read: 16 clusters of 64 KiB, in 512-byte sectors.
constexpr uint64_t kMaxCompressionUnitSectors = 2048;

// Decompresses the LZNT1 blocks in `in` into `out`, one 4 KiB block after
// another, until a block header of 0, the end of `in` or the end of `out`.
// Whatever of `out` no block reaches is set to zero. Returns the bytes
// produced, or -1 when a block is corrupt (a length past `in`, a back
// reference before its block's start or past its end); `out` then holds what
// was produced before it, and zeros.
int64_t ntfs_lznt1_decompress(std::span<const uint8_t> in, std::span<uint8_t> out);
