#include "photoformats/bytecursor.h"

#include <algorithm>
#include <cstring>

CByteCursor::CByteCursor(IByteSource& src, size_t windowBytes)
    : m_src(src), m_size(src.Size()), m_windowBytes(std::max<size_t>(windowBytes, 16)) {}

bool CByteCursor::Refill() {
    m_win = {};
    m_winPos = m_pos;
    if (m_failed || m_pos >= m_size) return false;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(m_windowBytes, m_size - m_pos));
    std::span<const uint8_t> view = m_src.View(m_pos, want);
    if (!view.empty()) {
        m_win = view.first(std::min(view.size(), want));
        return true;
    }
    if (!m_own) m_own = std::make_unique<uint8_t[]>(m_windowBytes);
    const int64_t got = m_src.Read(m_pos, std::span<uint8_t>(m_own.get(), want));
    if (got < 0) {
        m_failed = true;
        return false;
    }
    // A source that delivers less than its size promised has ended there.
    if (got == 0) {
        m_size = m_pos;
        return false;
    }
    m_win = std::span<const uint8_t>(m_own.get(), std::min<size_t>(static_cast<size_t>(got), want));
    return true;
}

std::span<const uint8_t> CByteCursor::Peek() {
    if (m_pos < m_winPos || m_pos - m_winPos >= m_win.size()) {
        if (!Refill()) return {};
    }
    return m_win.subspan(static_cast<size_t>(m_pos - m_winPos));
}

bool CByteCursor::Skip(uint64_t n) {
    if (n > m_size - m_pos) return false;
    m_pos += n;
    return true;
}

bool CByteCursor::Seek(uint64_t pos) {
    if (pos > m_size) return false;
    m_pos = pos;
    return true;
}

int CByteCursor::Byte() {
    std::span<const uint8_t> w = Peek();
    if (w.empty()) return -1;
    ++m_pos;
    return w[0];
}

bool CByteCursor::Read(std::span<uint8_t> out) {
    if (out.size() > m_size - m_pos) return false;
    const uint64_t start = m_pos;
    size_t done = 0;
    while (done < out.size()) {
        std::span<const uint8_t> w = Peek();
        if (w.empty()) {
            m_pos = start;
            return false;
        }
        const size_t n = std::min(w.size(), out.size() - done);
        std::memcpy(out.data() + done, w.data(), n);
        done += n;
        m_pos += n;
    }
    return true;
}

bool CByteCursor::Be16(uint32_t& v) {
    uint8_t b[2];
    if (!Read(b)) return false;
    v = static_cast<uint32_t>(b[0]) << 8 | b[1];
    return true;
}

bool CByteCursor::Be32(uint32_t& v) {
    uint8_t b[4];
    if (!Read(b)) return false;
    v = static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 | static_cast<uint32_t>(b[2]) << 8 | b[3];
    return true;
}

bool CByteCursor::Le16(uint32_t& v) {
    uint8_t b[2];
    if (!Read(b)) return false;
    v = static_cast<uint32_t>(b[1]) << 8 | b[0];
    return true;
}

bool CByteCursor::Le32(uint32_t& v) {
    uint8_t b[4];
    if (!Read(b)) return false;
    v = static_cast<uint32_t>(b[3]) << 24 | static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[1]) << 8 | b[0];
    return true;
}
