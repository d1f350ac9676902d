// The allocation map as it was before pieces: one bit per unit, all in
// memory. Kept as the oracle the tests compare the piecewise map with.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "filesystem/allounitmgr.h"

namespace flatmap {
class FlatAlloUnitMgr {
public:
    FlatAlloUnitMgr() = default;
    FlatAlloUnitMgr(const FlatAlloUnitMgr&) = delete;
    FlatAlloUnitMgr& operator=(const FlatAlloUnitMgr&) = delete;

    int Init(const uint8_t* bitmap, int64_t bitmapBytes, int64_t units);
    bool IsFree(int64_t start, int64_t count);
    bool IsUsed(int64_t start, int64_t count);
    void SetUsed(int64_t start, int64_t count);
    void SetFree(int64_t start, int64_t count);
    int64_t FindFree(int64_t start, int32_t blockLength);
    std::vector<FreeUnitRun> GetFreeRunList(int64_t start, int64_t total, int32_t blockLength);
    const uint8_t* GetBitmap() { return m_bits.get(); }

    // A map of `units` units, all free, without a caller's buffer (so the
    // bitmap is never held twice). 0, or -1 when `units` is negative or
    // memory runs out.
    int InitFree(int64_t units);

    // Marks as used the units of every cluster whose bit is set in
    // `clusterBitmap` (same bit order as this map; clusters past `clusters`
    // or past the span are ignored): cluster c covers `unitsPerCluster`
    // units from firstUnit + c * unitsPerCluster. Runs of set bits are marked
    // at once. Units outside the map are left alone as SetUsed does.
    void SetUsedByClusterBitmap(std::span<const uint8_t> clusterBitmap, int64_t clusters, int64_t firstUnit,
                                int64_t unitsPerCluster);

    int64_t GetUnits() const { return m_units; }
    int64_t GetBitmapBytes() const { return m_bitmapBytes; }

    // Word-at-a-time walks for the raw scan; same answers as testing unit by
    // unit with IsFree(u, 1).
    // First free unit in [from, limit), or `limit` when there is none.
    int64_t NextFree(int64_t from, int64_t limit) const;
    // First unit in [from, limit) that is not free (used or nonexistent),
    // or `limit` when all of them are free.
    int64_t NextUsed(int64_t from, int64_t limit) const;

private:
    // Clips [start, start + count) to the existing units; false when empty.
    bool Clip(int64_t start, int64_t count, int64_t& first, int64_t& end) const;
    // Whether every unit of [first, end) (all existing) is set (`used`) or clear.
    bool AllInState(int64_t first, int64_t end, bool used) const;
    void Fill(int64_t first, int64_t end, bool used);
    // 64 units from unit 64 * w on, bit i = unit 64 * w + i; bits past the
    // last unit read as used.
    uint64_t Word(int64_t w) const;

    // Storage is rounded up to whole 64-bit words; the padding stays zero and
    // is never handed out as a unit.
    std::unique_ptr<uint8_t[]> m_bits;
    int64_t m_bitmapBytes = 0;  // bytes of the bitmap as given to Init
    int64_t m_units = 0;        // units described, <= 8 * m_bitmapBytes
    int64_t m_words = 0;        // 64-bit words allocated
};

namespace detail {

constexpr int64_t kMaxInt64 = std::numeric_limits<int64_t>::max();

// start + count without overflowing; count > 0.
inline int64_t RangeEnd(int64_t start, int64_t count) {
    return start > 0 && count > detail::kMaxInt64 - start ? detail::kMaxInt64 : start + count;
}

inline uint64_t LoadLe64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

}  // namespace detail

inline int FlatAlloUnitMgr::Init(const uint8_t* bitmap, int64_t bitmapBytes, int64_t units) {
    if (!bitmap) return -1;
    if (bitmapBytes < 0 || units < 0 || units / 8 + (units % 8 ? 1 : 0) > bitmapBytes) {
        return -1;
    }
    if (bitmapBytes > detail::kMaxInt64 - 7) {
        return -1;
    }
    int64_t words = (bitmapBytes + 7) / 8;
    std::unique_ptr<uint8_t[]> bits(new (std::nothrow) uint8_t[static_cast<size_t>(words) * 8]);
    if (!bits) {
        return -1;
    }
    std::memcpy(bits.get(), bitmap, static_cast<size_t>(bitmapBytes));
    std::memset(bits.get() + bitmapBytes, 0, static_cast<size_t>(words * 8 - bitmapBytes));
    m_bits = std::move(bits);
    m_bitmapBytes = bitmapBytes;
    m_units = units;
    m_words = words;
    return 0;
}

inline int FlatAlloUnitMgr::InitFree(int64_t units) {
    if (units < 0) return -1;
    int64_t bytes = units / 8 + (units % 8 ? 1 : 0);
    int64_t words = (bytes + 7) / 8;
    std::unique_ptr<uint8_t[]> bits(new (std::nothrow) uint8_t[static_cast<size_t>(words) * 8]());
    if (!bits) {
        return -1;
    }
    m_bits = std::move(bits);
    m_bitmapBytes = bytes;
    m_units = units;
    m_words = words;
    return 0;
}

inline uint64_t FlatAlloUnitMgr::Word(int64_t w) const {
    if (!m_bits || w < 0 || w >= m_words) return ~uint64_t{0};
    uint64_t v = detail::LoadLe64(m_bits.get() + w * 8);
    int64_t left = m_units - w * 64;  // units that exist in this word
    if (left <= 0) return ~uint64_t{0};
    if (left < 64) v |= ~uint64_t{0} << left;
    return v;
}

inline int64_t FlatAlloUnitMgr::NextFree(int64_t from, int64_t limit) const {
    int64_t end = std::min(limit, m_units);
    if (from < 0) from = 0;
    if (!m_bits || from >= end) return limit;
    int64_t w = from / 64;
    uint64_t freeBits = ~Word(w) & (~uint64_t{0} << (from % 64));
    for (;;) {
        if (freeBits) {
            int64_t u = w * 64 + std::countr_zero(freeBits);
            return u < end ? u : limit;
        }
        ++w;
        if (w * 64 >= end) return limit;
        freeBits = ~Word(w);
    }
}

inline int64_t FlatAlloUnitMgr::NextUsed(int64_t from, int64_t limit) const {
    if (from >= limit) return limit;
    if (from < 0 || !m_bits || from >= m_units) return from;
    int64_t w = from / 64;
    uint64_t usedBits = Word(w) & (~uint64_t{0} << (from % 64));
    for (;;) {
        if (usedBits) return std::min(w * 64 + std::countr_zero(usedBits), limit);
        ++w;
        if (w * 64 >= limit) return limit;
        usedBits = Word(w);  // all ones past the last unit
    }
}

inline bool FlatAlloUnitMgr::Clip(int64_t start, int64_t count, int64_t& first, int64_t& end) const {
    if (count <= 0 || !m_bits) return false;
    end = std::min(detail::RangeEnd(start, count), m_units);
    first = std::max<int64_t>(start, 0);
    return first < end;
}

inline bool FlatAlloUnitMgr::AllInState(int64_t first, int64_t end, bool used) const {
    return used ? NextFree(first, end) == end : NextUsed(first, end) == end;
}

inline bool FlatAlloUnitMgr::IsFree(int64_t start, int64_t count) {
    if (count <= 0) return true;
    if (!m_bits || start < 0 || start >= m_units || count > m_units - start) return false;
    return AllInState(start, start + count, false);
}

inline bool FlatAlloUnitMgr::IsUsed(int64_t start, int64_t count) {
    if (count <= 0) return true;
    if (!m_bits || start < 0 || start >= m_units || count > m_units - start) return false;
    return AllInState(start, start + count, true);
}

inline void FlatAlloUnitMgr::Fill(int64_t first, int64_t end, bool used) {
    uint8_t* b = m_bits.get();
    auto setBits = [&](int64_t byte, unsigned from, unsigned to) {  // bits [from, to) of one byte
        auto mask = static_cast<uint8_t>(((1u << to) - 1) & ~((1u << from) - 1));
        if (used) b[byte] = static_cast<uint8_t>(b[byte] | mask);
        else b[byte] = static_cast<uint8_t>(b[byte] & ~mask);
    };
    int64_t firstByte = first / 8, lastByte = (end - 1) / 8;
    if (firstByte == lastByte) {
        setBits(firstByte, static_cast<unsigned>(first % 8), static_cast<unsigned>((end - 1) % 8 + 1));
        return;
    }
    setBits(firstByte, static_cast<unsigned>(first % 8), 8);
    if (lastByte - firstByte > 1)
        std::memset(b + firstByte + 1, used ? 0xFF : 0x00, static_cast<size_t>(lastByte - firstByte - 1));
    setBits(lastByte, 0, static_cast<unsigned>((end - 1) % 8 + 1));
}

inline void FlatAlloUnitMgr::SetUsed(int64_t start, int64_t count) {
    int64_t first, end;
    if (Clip(start, count, first, end)) Fill(first, end, true);
}

inline void FlatAlloUnitMgr::SetFree(int64_t start, int64_t count) {
    int64_t first, end;
    if (Clip(start, count, first, end)) Fill(first, end, false);
}

inline int64_t FlatAlloUnitMgr::FindFree(int64_t start, int32_t blockLength) {
    if (!m_bits || start >= m_units) return -1;
    if (start < 0) start = 0;  // negative units are never free
    if (blockLength <= 0) return start;
    int64_t u = start;
    while (u < m_units) {
        int64_t f = NextFree(u, m_units);
        if (f >= m_units || blockLength > m_units - f) return -1;
        int64_t e = NextUsed(f, f + blockLength);
        if (e == f + blockLength) return f;
        u = e + 1;  // e is used: no block can start at or before it
    }
    return -1;
}

inline std::vector<FreeUnitRun> FlatAlloUnitMgr::GetFreeRunList(int64_t start, int64_t total, int32_t blockLength) {
    std::vector<FreeUnitRun> runs;
    int64_t first, end;
    if (!Clip(start, total, first, end)) return runs;
    int64_t u = first;
    while (u < end) {
        int64_t f = NextFree(u, end);
        if (f >= end) break;
        int64_t e = NextUsed(f, end);
        for (int64_t p = f; p < e;) {
            int64_t n = blockLength > 0 ? std::min<int64_t>(blockLength, e - p) : e - p;
            runs.push_back({p, n});
            p += n;
        }
        u = e;
    }
    return runs;
}

inline void FlatAlloUnitMgr::SetUsedByClusterBitmap(std::span<const uint8_t> clusterBitmap, int64_t clusters,
                                          int64_t firstUnit, int64_t unitsPerCluster) {
    if (!m_bits || clusters <= 0 || unitsPerCluster <= 0 || firstUnit < 0) return;
    clusters = std::min<int64_t>(clusters, static_cast<int64_t>(std::min<size_t>(clusterBitmap.size(), detail::kMaxInt64 / 8)) * 8);
    auto mark = [&](int64_t c, int64_t n) {  // clusters [c, c + n)
        if (c > (detail::kMaxInt64 - firstUnit) / unitsPerCluster) return;  // beyond any map
        int64_t start = firstUnit + c * unitsPerCluster;
        int64_t count = n > detail::kMaxInt64 / unitsPerCluster ? detail::kMaxInt64 : n * unitsPerCluster;
        SetUsed(start, count);
    };
    int64_t runStart = -1;
    for (int64_t c = 0; c < clusters;) {
        uint8_t b = clusterBitmap[static_cast<size_t>(c / 8)];
        if (c % 8 == 0 && (b == 0x00 || b == 0xFF) && clusters - c >= 8) {  // a whole byte at once
            if (b == 0xFF && runStart < 0) runStart = c;
            if (b == 0x00 && runStart >= 0) {
                mark(runStart, c - runStart);
                runStart = -1;
            }
            c += 8;
            continue;
        }
        bool set = (b >> (c % 8)) & 1;
        if (set && runStart < 0) runStart = c;
        if (!set && runStart >= 0) {
            mark(runStart, c - runStart);
            runStart = -1;
        }
        ++c;
    }
    if (runStart >= 0) mark(runStart, clusters - runStart);
}

}  // namespace flatmap
