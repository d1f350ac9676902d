// A reading position over an IByteSource, through a small window: the
// structure readers walk a photo of any size with one window of memory, and
// every step is checked against the source's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "photoformats/photoformat.h"

class CByteCursor {
public:
    static constexpr size_t kWindowBytes = 64 * 1024;

    // `src` is not owned and must outlive the cursor. The position starts at 0.
    explicit CByteCursor(IByteSource& src, size_t windowBytes = kWindowBytes);
    CByteCursor(const CByteCursor&) = delete;
    CByteCursor& operator=(const CByteCursor&) = delete;

    // Invariant: Pos() <= Size().
    uint64_t Pos() const { return m_pos; }
    uint64_t Size() const { return m_size; }
    uint64_t Left() const { return m_size - m_pos; }
    // True once the source could not read bytes the cursor asked for (an
    // unreadable sector); the cursor then answers as if the bytes ran out.
    bool Failed() const { return m_failed; }

    // The bytes from Pos() on that are at hand: at least one, unless the
    // bytes ran out or could not be read (then empty). Does not move; the
    // view lasts until the next call that refills (Peek, Byte, Read...).
    std::span<const uint8_t> Peek();
    // Moves `n` bytes on without reading them. False, and Pos() unchanged,
    // when fewer than `n` bytes are left.
    bool Skip(uint64_t n);
    // Moves to byte `pos`; false, and Pos() unchanged, when it lies past Size().
    bool Seek(uint64_t pos);

    // The next byte, moving past it; -1 when none is left or it could not be read.
    int Byte();
    // Copies the next out.size() bytes and moves past them. False when fewer
    // could be had; Pos() is then unchanged.
    bool Read(std::span<uint8_t> out);
    // Big- and little-endian fields, moving past them; false as Read.
    bool Be16(uint32_t& v);
    bool Be32(uint32_t& v);
    bool Le16(uint32_t& v);
    bool Le32(uint32_t& v);

private:
    bool Refill();

    IByteSource& m_src;
    uint64_t m_size;
    uint64_t m_pos = 0;
    size_t m_windowBytes;
    std::unique_ptr<uint8_t[]> m_own;  // the window when the source has no view; allocated on first use
    std::span<const uint8_t> m_win;    // bytes [m_winPos, m_winPos + m_win.size()) of the source
    uint64_t m_winPos = 0;
    bool m_failed = false;
};
