#include "filesystem/ntfs_compress.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

constexpr size_t kBlockBytes = 4096;
constexpr uint16_t kBlockSizeMask = 0x0FFF;     // stored bytes after the header, less one
constexpr uint16_t kBlockCompressed = 0x8000;

}  // namespace

int64_t ntfs_lznt1_decompress(std::span<const uint8_t> in, std::span<uint8_t> out) {
    std::fill(out.begin(), out.end(), uint8_t{0});
    size_t src = 0, dst = 0;
    while (src + 2 <= in.size() && dst < out.size()) {
        const uint16_t header = static_cast<uint16_t>(in[src] | (in[src + 1] << 8));
        if (header == 0) break;
        const size_t stored = (header & kBlockSizeMask) + 1u;
        src += 2;
        if (stored > in.size() - src) return -1;
        const size_t blockEnd = src + stored;
        // The last block may reach past `out` where the caller asked for less
        // than a whole unit: only what fits is kept.
        const size_t outEnd = std::min(out.size(), dst + kBlockBytes);
        if (!(header & kBlockCompressed)) {
            // Stored as it is: 4 KiB (the size field holds no more), or less
            // at the end of the data.
            std::memcpy(out.data() + dst, in.data() + src, std::min(stored, outEnd - dst));
            src = blockEnd;
            dst += kBlockBytes;
            continue;
        }
        // Each block makes 4 KiB; one that makes less ends in zeros.
        std::array<uint8_t, kBlockBytes> block{};
        size_t pos = 0;
        while (src < blockEnd) {
            uint8_t flags = in[src++];
            for (int token = 0; token < 8 && src < blockEnd; ++token, flags >>= 1) {
                if (!(flags & 1)) {
                    if (pos >= kBlockBytes) return -1;
                    block[pos++] = in[src++];
                    continue;
                }
                if (blockEnd - src < 2 || pos == 0) return -1;
                const uint16_t phrase = static_cast<uint16_t>(in[src] | (in[src + 1] << 8));
                src += 2;
                // The further into the block, the more bits the offset takes.
                unsigned lengthBits = 12;
                for (size_t i = pos - 1; i >= 0x10; i >>= 1) --lengthBits;
                const size_t back = (phrase >> lengthBits) + 1u;
                const size_t length = (phrase & ((1u << lengthBits) - 1)) + 3u;
                if (back > pos || length > kBlockBytes - pos) return -1;
                // Byte by byte: a reference may overlap what it produces.
                for (size_t k = 0; k < length; ++k, ++pos) block[pos] = block[pos - back];
            }
        }
        std::memcpy(out.data() + dst, block.data(), outEnd - dst);
        src = blockEnd;
        dst += kBlockBytes;
    }
    return static_cast<int64_t>(std::min(dst, out.size()));
}
