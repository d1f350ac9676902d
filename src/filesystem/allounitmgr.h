// The allocation map: one bit per allocation unit, set = used.
//
// Unit u is bit (u mod 8) of byte u / 8, least significant bit first, the bit
// order of NTFS's $Bitmap. The photo scan uses one unit per 512-byte sector of
// the scanned partition; the manager itself does not know what a unit is.
// Units at or beyond `units` (and negative units) do not exist: queries that
// touch them answer false and updates leave them alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

// A block of free units, as GetFreeRunList lists them.
struct FreeUnitRun {
    int64_t start = 0;  // first unit
    int64_t count = 0;  // units, > 0
};

class IAlloUnitMgr {
public:
    virtual ~IAlloUnitMgr() = default;
    // Takes a copy of `bitmapBytes` bytes of `bitmap` (the caller keeps its
    // buffer) describing `units` units. -1 when the bitmap is null, when it
    // holds fewer than `units` bits, or when memory runs out; else 0.
    virtual int Init(const uint8_t* bitmap, int64_t bitmapBytes, int64_t units) = 0;
    // True when every unit of [start, start + count) exists and is clear.
    // A count of 0 or less gives true.
    virtual bool IsFree(int64_t start, int64_t count) = 0;
    // True when every unit of [start, start + count) exists and is set.
    // A count of 0 or less gives true.
    virtual bool IsUsed(int64_t start, int64_t count) = 0;
    // Sets / clears the existing units of [start, start + count); the rest of
    // the range is ignored. A count of 0 or less does nothing.
    virtual void SetUsed(int64_t start, int64_t count) = 0;
    virtual void SetFree(int64_t start, int64_t count) = 0;
    // First unit u >= start from which `blockLength` units are free, or -1.
    // A block that would run past the last unit is never free.
    virtual int64_t FindFree(int64_t start, int32_t blockLength) = 0;
    // The free units of [start, start + total), as maximal runs cut into
    // pieces of at most `blockLength` units (no cut when blockLength <= 0).
    virtual std::vector<FreeUnitRun> GetFreeRunList(int64_t start, int64_t total, int32_t blockLength) = 0;
    // The bitmap bytes (null before Init); owned by the manager.
    virtual const uint8_t* GetBitmap() = 0;
};

class CAlloUnitMgr : public IAlloUnitMgr {
public:
    CAlloUnitMgr() = default;
    CAlloUnitMgr(const CAlloUnitMgr&) = delete;
    CAlloUnitMgr& operator=(const CAlloUnitMgr&) = delete;

    int Init(const uint8_t* bitmap, int64_t bitmapBytes, int64_t units) override;
    bool IsFree(int64_t start, int64_t count) override;
    bool IsUsed(int64_t start, int64_t count) override;
    void SetUsed(int64_t start, int64_t count) override;
    void SetFree(int64_t start, int64_t count) override;
    int64_t FindFree(int64_t start, int32_t blockLength) override;
    std::vector<FreeUnitRun> GetFreeRunList(int64_t start, int64_t total, int32_t blockLength) override;
    const uint8_t* GetBitmap() override { return m_bits.get(); }

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
