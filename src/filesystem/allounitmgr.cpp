#include "filesystem/allounitmgr.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <new>

#include "io/log.h"

namespace {

constexpr int64_t kMaxInt64 = std::numeric_limits<int64_t>::max();
// More pieces than this would describe over 2^51 units: refused.
constexpr int64_t kMaxPieces = int64_t{1} << 36;

// start + count without overflowing; count > 0 (start may be negative).
int64_t RangeEnd(int64_t start, int64_t count) {
    return start > 0 && count > kMaxInt64 - start ? kMaxInt64 : start + count;
}

// Bits [from, to) of a word, from < to <= 64.
uint64_t Mask(int64_t from, int64_t to) {
    uint64_t high = to >= 64 ? ~uint64_t{0} : (uint64_t{1} << to) - 1;
    return high & (~uint64_t{0} << from);
}

// Clears the bits of `words` (kPieceWords of them) at and past `length`.
void ClearTail(uint64_t* words, int64_t length) {
    if (length >= CAlloUnitMgr::kPieceUnits) return;
    int64_t w = length / 64;
    if (length % 64) words[w++] &= Mask(0, length % 64);
    std::fill(words + w, words + CAlloUnitMgr::kPieceWords, uint64_t{0});
}

int64_t CountBits(const uint64_t* words) {
    int64_t n = 0;
    for (int64_t w = 0; w < CAlloUnitMgr::kPieceWords; ++w) n += std::popcount(words[w]);
    return n;
}

}  // namespace

CAlloUnitMgr::~CAlloUnitMgr() = default;

int CAlloUnitMgr::Reset(int64_t units) {
    m_ready = false;
    m_pieces.reset();
    m_slots.clear();
    m_freeSlots.clear();
    m_reloadOrder.clear();
    m_reloadableCount = 0;
    m_reloadFailed = false;
    m_source.reset();
    m_flat.reset();
    m_flatBytes = 0;
    m_units = m_bitmapBytes = m_pieceCount = 0;
    if (units < 0) return -1;
    int64_t pieces = units / kPieceUnits + (units % kPieceUnits ? 1 : 0);
    if (pieces > kMaxPieces) {
        LOG_E("%s", "Ouf of Memory! \n");
        return -1;
    }
    m_pieces.reset(new (std::nothrow) Piece[static_cast<size_t>(pieces)]);
    if (!m_pieces) {
        LOG_E("%s", "Ouf of Memory! \n");
        return -1;
    }
    m_units = units;
    m_pieceCount = pieces;
    m_bitmapBytes = units / 8 + (units % 8 ? 1 : 0);
    return 0;
}

int64_t CAlloUnitMgr::PieceLength(int64_t p) const {
    return std::min(kPieceUnits, m_units - p * kPieceUnits);
}

int32_t CAlloUnitMgr::TakeSlot() const {
    while (m_reloadableCount * static_cast<int64_t>(kPieceBytes) >= m_residentBytes && !m_reloadOrder.empty()) {
        const int64_t q = m_reloadOrder.front();
        m_reloadOrder.pop_front();
        Piece& old = m_pieces[q];
        if (old.kind != Kind::Mixed || !old.reloadable) continue;  // changed since it was read
        ReleaseSlot(old);
        old.kind = Kind::Unloaded;
        old.reloadable = false;
        --m_reloadableCount;
    }
    if (!m_freeSlots.empty()) {
        int32_t s = m_freeSlots.back();
        m_freeSlots.pop_back();
        return s;
    }
    if (m_slots.size() >= static_cast<size_t>(std::numeric_limits<int32_t>::max())) return -1;
    std::unique_ptr<uint64_t[]> bits(new (std::nothrow) uint64_t[kPieceWords]);
    if (!bits) return -1;
    m_slots.push_back(std::move(bits));
    return static_cast<int32_t>(m_slots.size() - 1);
}

void CAlloUnitMgr::ReleaseSlot(Piece& piece) const {
    if (piece.slot >= 0) m_freeSlots.push_back(piece.slot);
    piece.slot = -1;
}

int CAlloUnitMgr::Store(int64_t p, const uint64_t* words, bool reloadable) const {
    Piece& pc = m_pieces[p];
    if (pc.reloadable) --m_reloadableCount;
    pc.reloadable = false;
    const int64_t n = CountBits(words);
    if (n == 0 || n == PieceLength(p)) {
        ReleaseSlot(pc);
        pc.kind = n == 0 ? Kind::Free : Kind::Used;
        pc.used = 0;
        return 0;
    }
    if (pc.slot < 0) {
        int32_t s = TakeSlot();
        if (s < 0) {
            LOG_E("%s", "Ouf of Memory! \n");
            return -1;
        }
        pc.slot = s;
    }
    std::memcpy(m_slots[static_cast<size_t>(pc.slot)].get(), words, kPieceBytes);
    pc.kind = Kind::Mixed;
    pc.used = static_cast<int32_t>(n);
    if (reloadable) {
        pc.reloadable = true;
        ++m_reloadableCount;
        m_reloadOrder.push_back(p);
    }
    return 0;
}

CAlloUnitMgr::Kind CAlloUnitMgr::Resolve(int64_t p) const {
    Piece& pc = m_pieces[p];
    if (pc.kind != Kind::Unloaded) return pc.kind;
    std::unique_ptr<uint64_t[]> words(new (std::nothrow) uint64_t[kPieceWords]());
    int r = words && m_source ? m_source->ReadUsed(p * kPieceUnits, PieceLength(p), words.get()) : -1;
    if (r == 0) {
        ClearTail(words.get(), PieceLength(p));
        r = Store(p, words.get(), true);
    }
    if (r != 0) {
        if (!m_reloadFailed)
            LOG_E("units %lld to %lld of the allocation map cannot be read again; they count as free \n",
                  static_cast<long long>(p * kPieceUnits), static_cast<long long>(p * kPieceUnits + PieceLength(p)));
        m_reloadFailed = true;
        ReleaseSlot(pc);
        pc.kind = Kind::Free;
    }
    return pc.kind;
}

int CAlloUnitMgr::Init(const uint8_t* bitmap, int64_t bitmapBytes, int64_t units) {
    if (!bitmap) return -1;
    if (bitmapBytes < 0 || units < 0 || units / 8 + (units % 8 ? 1 : 0) > bitmapBytes) {
        LOG_E("bitmap of %lld bytes cannot describe %lld units\n", static_cast<long long>(bitmapBytes),
              static_cast<long long>(units));
        return -1;
    }
    if (Reset(units) != 0) return -1;
    std::vector<uint64_t> words(static_cast<size_t>(kPieceWords));
    for (int64_t p = 0; p < m_pieceCount; ++p) {
        std::fill(words.begin(), words.end(), uint64_t{0});
        const int64_t len = PieceLength(p);
        const int64_t firstByte = p * (kPieceUnits / 8);
        const int64_t bytes = std::min<int64_t>(len / 8 + (len % 8 ? 1 : 0), bitmapBytes - firstByte);
        for (int64_t b = 0; b < bytes; ++b)
            words[static_cast<size_t>(b / 8)] |= static_cast<uint64_t>(bitmap[firstByte + b]) << (8 * (b % 8));
        ClearTail(words.data(), len);
        if (Store(p, words.data(), false) != 0) {
            Reset(0);
            return -1;
        }
    }
    m_bitmapBytes = bitmapBytes;
    m_ready = true;
    return 0;
}

int CAlloUnitMgr::InitFree(int64_t units) {
    if (Reset(units) != 0) return -1;
    m_ready = true;
    return 0;
}

int CAlloUnitMgr::InitFromSource(int64_t units, std::unique_ptr<IAlloUnitSource> source) {
    if (!source || Reset(units) != 0) {
        Reset(0);
        return -1;
    }
    std::vector<uint64_t> words(static_cast<size_t>(kPieceWords));
    for (int64_t p = 0; p < m_pieceCount; ++p) {
        std::fill(words.begin(), words.end(), uint64_t{0});
        const int64_t len = PieceLength(p);
        if (source->ReadUsed(p * kPieceUnits, len, words.data()) != 0) {
            LOG_E("the allocation record cannot be read at unit %lld \n", static_cast<long long>(p * kPieceUnits));
            Reset(0);
            return -1;
        }
        ClearTail(words.data(), len);
        const int64_t n = CountBits(words.data());
        Piece& pc = m_pieces[p];
        if (n == 0 || n == len) {
            pc.kind = n == 0 ? Kind::Free : Kind::Used;
        } else if ((m_reloadableCount + 1) * static_cast<int64_t>(kPieceBytes) <= m_residentBytes) {
            if (Store(p, words.data(), true) != 0) {
                Reset(0);
                return -1;
            }
        } else {
            pc.kind = Kind::Unloaded;
            pc.used = static_cast<int32_t>(n);  // kept for CountFreeUnits
        }
    }
    m_source = std::move(source);
    m_ready = true;
    return 0;
}

int CAlloUnitMgr::MarkUsedFrom(IAlloUnitSource& source) {
    if (!m_ready) return -1;
    m_flat.reset();
    m_flatBytes = 0;
    std::vector<uint64_t> words(static_cast<size_t>(kPieceWords));
    for (int64_t p = 0; p < m_pieceCount; ++p) {
        std::fill(words.begin(), words.end(), uint64_t{0});
        const int64_t len = PieceLength(p);
        if (source.ReadUsed(p * kPieceUnits, len, words.data()) != 0) {
            LOG_E("the allocation record cannot be read at unit %lld \n", static_cast<long long>(p * kPieceUnits));
            return -1;
        }
        ClearTail(words.data(), len);
        if (CountBits(words.data()) == 0) continue;
        const Kind k = Resolve(p);
        if (k == Kind::Used) continue;
        if (k == Kind::Mixed) {
            const uint64_t* bits = m_slots[static_cast<size_t>(m_pieces[p].slot)].get();
            for (int64_t w = 0; w < kPieceWords; ++w) words[static_cast<size_t>(w)] |= bits[w];
        }
        if (Store(p, words.data(), false) != 0) return -1;
    }
    return 0;
}

int64_t CAlloUnitMgr::MemoryBytes() const {
    return m_pieceCount * static_cast<int64_t>(sizeof(Piece)) +
           static_cast<int64_t>(m_slots.size()) * static_cast<int64_t>(kPieceBytes + sizeof(void*)) +
           static_cast<int64_t>(m_reloadOrder.size() * sizeof(int64_t)) + m_flatBytes;
}

int64_t CAlloUnitMgr::NextFree(int64_t from, int64_t limit) const {
    const int64_t end = std::min(limit, m_units);
    if (from < 0) from = 0;
    if (!m_ready || from >= end) return limit;
    int64_t u = from;
    while (u < end) {
        const int64_t p = u / kPieceUnits;
        const int64_t pieceEnd = std::min(p * kPieceUnits + kPieceUnits, end);
        const Kind k = Resolve(p);
        if (k == Kind::Free) return u;
        if (k == Kind::Mixed) {
            const uint64_t* bits = m_slots[static_cast<size_t>(m_pieces[p].slot)].get();
            const int64_t base = p * kPieceUnits;
            int64_t w = (u - base) / 64;
            uint64_t freeBits = ~bits[w] & (~uint64_t{0} << ((u - base) % 64));
            for (;;) {
                if (freeBits) {
                    int64_t f = base + w * 64 + std::countr_zero(freeBits);
                    return f < end ? f : limit;
                }
                ++w;
                if (base + w * 64 >= pieceEnd) break;
                freeBits = ~bits[w];
            }
        }
        u = pieceEnd;
    }
    return limit;
}

int64_t CAlloUnitMgr::NextUsed(int64_t from, int64_t limit) const {
    if (from >= limit) return limit;
    if (from < 0 || !m_ready || from >= m_units) return from;
    const int64_t end = std::min(limit, m_units);  // m_units itself does not exist: not free
    int64_t u = from;
    while (u < end) {
        const int64_t p = u / kPieceUnits;
        const int64_t pieceEnd = std::min(p * kPieceUnits + kPieceUnits, end);
        const Kind k = Resolve(p);
        if (k == Kind::Used) return u;
        if (k == Kind::Mixed) {
            const uint64_t* bits = m_slots[static_cast<size_t>(m_pieces[p].slot)].get();
            const int64_t base = p * kPieceUnits;
            int64_t w = (u - base) / 64;
            uint64_t usedBits = bits[w] & (~uint64_t{0} << ((u - base) % 64));
            for (;;) {
                if (usedBits) return std::min(base + w * 64 + std::countr_zero(usedBits), end);
                ++w;
                if (base + w * 64 >= pieceEnd) break;
                usedBits = bits[w];
            }
        }
        u = pieceEnd;
    }
    return end;
}

bool CAlloUnitMgr::Clip(int64_t start, int64_t count, int64_t& first, int64_t& end) const {
    if (count <= 0 || !m_ready) return false;
    end = std::min(RangeEnd(start, count), m_units);
    first = std::max<int64_t>(start, 0);
    return first < end;
}

bool CAlloUnitMgr::AllInState(int64_t first, int64_t end, bool used) const {
    return used ? NextFree(first, end) == end : NextUsed(first, end) == end;
}

bool CAlloUnitMgr::IsFree(int64_t start, int64_t count) {
    if (count <= 0) return true;
    if (!m_ready || start < 0 || start >= m_units || count > m_units - start) return false;
    return AllInState(start, start + count, false);
}

bool CAlloUnitMgr::IsUsed(int64_t start, int64_t count) {
    if (count <= 0) return true;
    if (!m_ready || start < 0 || start >= m_units || count > m_units - start) return false;
    return AllInState(start, start + count, true);
}

void CAlloUnitMgr::Fill(int64_t first, int64_t end, bool used) {
    m_flat.reset();
    m_flatBytes = 0;
    for (int64_t p = first / kPieceUnits; p * kPieceUnits < end; ++p) {
        const int64_t base = p * kPieceUnits, len = PieceLength(p);
        const int64_t a = std::max(first, base) - base, b = std::min(end, base + len) - base;
        Piece& pc = m_pieces[p];
        if (a == 0 && b == len) {  // the whole piece, whatever it held
            if (pc.reloadable) --m_reloadableCount;
            ReleaseSlot(pc);
            pc = Piece{used ? Kind::Used : Kind::Free, false, -1, 0};
            continue;
        }
        const Kind k = Resolve(p);
        if ((k == Kind::Used && used) || (k == Kind::Free && !used)) continue;
        if (k != Kind::Mixed) {
            const int32_t s = TakeSlot();
            if (s < 0) {
                LOG_E("%s", "Ouf of Memory! \n");
                continue;
            }
            uint64_t* bits = m_slots[static_cast<size_t>(s)].get();
            std::fill(bits, bits + kPieceWords, k == Kind::Used ? ~uint64_t{0} : uint64_t{0});
            ClearTail(bits, len);
            pc = Piece{Kind::Mixed, false, s, k == Kind::Used ? static_cast<int32_t>(len) : 0};
        }
        if (pc.reloadable) {
            pc.reloadable = false;
            --m_reloadableCount;
        }
        uint64_t* bits = m_slots[static_cast<size_t>(pc.slot)].get();
        int64_t count = pc.used;
        for (int64_t w = a / 64; w * 64 < b; ++w) {
            const uint64_t mask = Mask(std::max<int64_t>(a - w * 64, 0), std::min<int64_t>(b - w * 64, 64));
            const uint64_t before = bits[w];
            bits[w] = used ? (before | mask) : (before & ~mask);
            count += std::popcount(bits[w]) - std::popcount(before);
        }
        pc.used = static_cast<int32_t>(count);
        if (count == 0 || count == len) {
            ReleaseSlot(pc);
            pc.kind = count == 0 ? Kind::Free : Kind::Used;
            pc.used = 0;
        }
    }
}

void CAlloUnitMgr::SetUsed(int64_t start, int64_t count) {
    int64_t first, end;
    if (Clip(start, count, first, end)) Fill(first, end, true);
}

void CAlloUnitMgr::SetFree(int64_t start, int64_t count) {
    int64_t first, end;
    if (Clip(start, count, first, end)) Fill(first, end, false);
}

int64_t CAlloUnitMgr::FindFree(int64_t start, int32_t blockLength) {
    if (!m_ready || start >= m_units) return -1;
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

std::vector<FreeUnitRun> CAlloUnitMgr::GetFreeRunList(int64_t start, int64_t total, int32_t blockLength) {
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

const uint8_t* CAlloUnitMgr::GetBitmap() {
    if (!m_ready) return nullptr;
    if (m_flat) return m_flat.get();
    const int64_t bytes = std::max<int64_t>(m_bitmapBytes, 1);
    std::unique_ptr<uint8_t[]> flat(new (std::nothrow) uint8_t[static_cast<size_t>(bytes)]());
    if (!flat) {
        LOG_E("%s", "Ouf of Memory! \n");
        return nullptr;
    }
    for (int64_t p = 0; p < m_pieceCount; ++p) {
        const Kind k = Resolve(p);
        if (k == Kind::Free) continue;
        const int64_t base = p * kPieceUnits, len = PieceLength(p);
        const uint64_t* bits = k == Kind::Mixed ? m_slots[static_cast<size_t>(m_pieces[p].slot)].get() : nullptr;
        for (int64_t w = 0; w * 64 < len; ++w) {
            uint64_t v = bits ? bits[w] : ~uint64_t{0};
            if (len - w * 64 < 64) v &= Mask(0, len - w * 64);
            for (int64_t i = 0; i < 8 && v; ++i, v >>= 8) flat[static_cast<size_t>((base + w * 64) / 8 + i)] |= static_cast<uint8_t>(v);
        }
    }
    m_flat = std::move(flat);
    m_flatBytes = bytes;
    return m_flat.get();
}

void CAlloUnitMgr::SetUsedByClusterBitmap(std::span<const uint8_t> clusterBitmap, int64_t clusters,
                                          int64_t firstUnit, int64_t unitsPerCluster) {
    if (!m_ready || clusters <= 0 || unitsPerCluster <= 0 || firstUnit < 0) return;
    clusters = std::min<int64_t>(clusters, static_cast<int64_t>(std::min<size_t>(clusterBitmap.size(), kMaxInt64 / 8)) * 8);
    auto mark = [&](int64_t c, int64_t n) {  // clusters [c, c + n)
        if (c > (kMaxInt64 - firstUnit) / unitsPerCluster) return;  // beyond any map
        int64_t start = firstUnit + c * unitsPerCluster;
        int64_t count = n > kMaxInt64 / unitsPerCluster ? kMaxInt64 : n * unitsPerCluster;
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

int64_t CAlloUnitMgr::CountFreeUnits() const {
    int64_t used = 0;
    for (int64_t p = 0; p < m_pieceCount; ++p) {
        const Piece& pc = m_pieces[static_cast<size_t>(p)];
        switch (pc.kind) {
        case Kind::Free: break;
        case Kind::Used: used += PieceLength(p); break;
        case Kind::Mixed:
        case Kind::Unloaded: used += pc.used; break;
        }
    }
    return m_units - used;
}

CUsedRunsSource::CUsedRunsSource(std::unique_ptr<IAlloUnitSource> inner,
                                 std::vector<std::pair<int64_t, int64_t>> runs)
    : m_inner(std::move(inner)) {
    std::sort(runs.begin(), runs.end());
    // Overlapping and touching runs merged: starts and ends both increase.
    for (const auto& [start, count] : runs) {
        if (start < 0 || count <= 0 || count > INT64_MAX - start) continue;
        if (!m_runs.empty() && start <= m_runs.back().first + m_runs.back().second) {
            auto& last = m_runs.back();
            last.second = std::max(last.second, start + count - last.first);
        } else {
            m_runs.emplace_back(start, count);
        }
    }
}

int CUsedRunsSource::ReadUsed(int64_t first, int64_t count, uint64_t* used) {
    if (!m_inner || first < 0 || count <= 0 || count > INT64_MAX - first) return -1;
    if (m_inner->ReadUsed(first, count, used) != 0) return -1;
    const int64_t end = first + count;
    const bool counting = first >= m_countedTo;
    // The first run ending after `first`, then on while they start before `end`.
    auto it = std::partition_point(m_runs.begin(), m_runs.end(),
                                   [first](const auto& run) { return run.first + run.second <= first; });
    for (; it != m_runs.end() && it->first < end; ++it) {
        const int64_t from = std::max(it->first, first);
        const int64_t to = std::min(it->first + it->second, end);
        for (int64_t u = from - first; u < to - first; ++u) {
            uint64_t& word = used[u / 64];
            const uint64_t bit = uint64_t{1} << (u % 64);
            if (counting && !(word & bit)) ++m_added;
            word |= bit;
        }
    }
    if (counting) m_countedTo = end;
    return 0;
}
