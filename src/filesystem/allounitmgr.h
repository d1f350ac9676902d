// The allocation map: which allocation units are in use, set = used.
//
// Units are grouped in pieces of kPieceUnits. A piece that is all free or all
// used costs a few bytes; a mixed one holds a bitmap of one bit per unit
// (4 KiB). So the map's memory follows the layout of the volume, not its
// size: a 4 TB disk with a few thousand files costs about what a card does.
// A map set up from the file system's own record (IAlloUnitSource) keeps at
// most kResidentBytes of mixed pieces in memory and reads the others again
// when they are asked about, so even a full, fragmented disk stays bounded.
//
// The photo scan uses one unit per 512-byte sector of the scanned partition;
// the manager itself does not know what a unit is. Units at or beyond
// `units` (and negative units) do not exist: queries that touch them answer
// false and updates leave them alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <utility>
#include <vector>

// A block of free units, as GetFreeRunList lists them.
struct FreeUnitRun {
    int64_t start = 0;  // first unit
    int64_t count = 0;  // units, > 0
};

// The file system's own record of which units it uses (its FAT, its cluster
// bitmap), read a piece at a time.
class IAlloUnitSource {
public:
    virtual ~IAlloUnitSource() = default;
    // Sets bit i of `used` (64-bit words, least significant bit first, bit i
    // = unit first + i) for every unit of [first, first + count) that the
    // file system uses. `used` holds (count + 63) / 64 words, zeroed by the
    // caller. The map asks for its pieces in increasing order when it is set
    // up, then again for single pieces. 0, or -1 when the record cannot be
    // read (logged by the source).
    virtual int ReadUsed(int64_t first, int64_t count, uint64_t* used) = 0;
};

// A file system's record with more units marked used on top: runs of units
// the file system counts free but that something else holds (the sectors of
// deleted photos found by a walk). A map set up from it holds those units
// from the start and can still drop and read again its pieces, where
// marking them afterwards would make every touched piece the map's own.
class CUsedRunsSource : public IAlloUnitSource {
public:
    // `runs`: (first unit, count); runs with a negative start or no units
    // are ignored, the others may overlap.
    CUsedRunsSource(std::unique_ptr<IAlloUnitSource> inner, std::vector<std::pair<int64_t, int64_t>> runs);
    // -1 when there is no inner source or it fails.
    int ReadUsed(int64_t first, int64_t count, uint64_t* used) override;
    // Units the runs marked that the inner source left free, counted as the
    // units are first read in increasing order (as a map is set up).
    int64_t AddedUnits() const { return m_added; }

private:
    std::unique_ptr<IAlloUnitSource> m_inner;
    std::vector<std::pair<int64_t, int64_t>> m_runs;  // sorted, merged
    int64_t m_countedTo = 0;                           // units below are counted
    int64_t m_added = 0;
};

class IAlloUnitMgr {
public:
    virtual ~IAlloUnitMgr() = default;
    // Takes a copy of `bitmapBytes` bytes of `bitmap` (unit u is bit u mod 8
    // of byte u / 8, the bit order of NTFS's $Bitmap; the caller keeps its
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
    // The whole map as one bitmap in the order Init takes (null before Init),
    // owned by the manager and valid until the map next changes. It costs
    // one bit per unit: for tests and small maps only.
    virtual const uint8_t* GetBitmap() = 0;
};

class CAlloUnitMgr : public IAlloUnitMgr {
public:
    static constexpr int64_t kPieceUnits = int64_t{1} << 15;
    static constexpr int64_t kPieceWords = kPieceUnits / 64;
    static constexpr size_t kPieceBytes = static_cast<size_t>(kPieceUnits / 8);
    // Mixed pieces read from a source that are kept in memory at most, by
    // default; the oldest read is dropped first (the raw scan goes front to
    // back).
    static constexpr int64_t kResidentBytes = int64_t{4} << 20;

    // `residentBytes`: how much of the mixed pieces read from a source stays
    // in memory (at least one piece).
    explicit CAlloUnitMgr(int64_t residentBytes = kResidentBytes) : m_residentBytes(residentBytes) {}
    ~CAlloUnitMgr() override;
    CAlloUnitMgr(const CAlloUnitMgr&) = delete;
    CAlloUnitMgr& operator=(const CAlloUnitMgr&) = delete;

    int Init(const uint8_t* bitmap, int64_t bitmapBytes, int64_t units) override;
    bool IsFree(int64_t start, int64_t count) override;
    bool IsUsed(int64_t start, int64_t count) override;
    void SetUsed(int64_t start, int64_t count) override;
    void SetFree(int64_t start, int64_t count) override;
    int64_t FindFree(int64_t start, int32_t blockLength) override;
    std::vector<FreeUnitRun> GetFreeRunList(int64_t start, int64_t total, int32_t blockLength) override;
    const uint8_t* GetBitmap() override;

    // A map of `units` units, all free. 0, or -1 when `units` is negative or
    // memory runs out.
    int InitFree(int64_t units);
    // A map of `units` units whose used ones are those `source` (owned, kept
    // for the map's life) reports. The source is read through once, piece by
    // piece, to learn which pieces are all free, all used or mixed; mixed
    // pieces beyond kResidentBytes are read again when asked about. A piece
    // that cannot be read again counts as free (logged). 0, or -1 when the
    // source fails on that first pass or memory runs out: the map is then
    // empty, as before any Init.
    int InitFromSource(int64_t units, std::unique_ptr<IAlloUnitSource> source);
    // Marks used every unit `source` reports, on top of what the map holds
    // (the source is read once and not kept). 0, or -1 when it fails (the
    // pieces read before stay marked) or there is no map.
    int MarkUsedFrom(IAlloUnitSource& source);

    // Marks as used the units of every cluster whose bit is set in
    // `clusterBitmap` (same bit order as this map; clusters past `clusters`
    // or past the span are ignored): cluster c covers `unitsPerCluster`
    // units from firstUnit + c * unitsPerCluster. Runs of set bits are marked
    // at once. Units outside the map are left alone as SetUsed does.
    void SetUsedByClusterBitmap(std::span<const uint8_t> clusterBitmap, int64_t clusters, int64_t firstUnit,
                                int64_t unitsPerCluster);

    int64_t GetUnits() const { return m_units; }
    // Units the map holds as free (nothing is read again for it).
    int64_t CountFreeUnits() const;
    int64_t GetBitmapBytes() const { return m_bitmapBytes; }
    // Bytes the map holds now: its piece table and the bitmaps of its mixed
    // pieces in memory (GetBitmap's copy included while it lives).
    int64_t MemoryBytes() const;

    // Walks for the raw scan, a piece or a word at a time; same answers as
    // testing unit by unit with IsFree(u, 1).
    // First free unit in [from, limit), or `limit` when there is none.
    int64_t NextFree(int64_t from, int64_t limit) const;
    // First unit in [from, limit) that is not free (used or nonexistent),
    // or `limit` when all of them are free.
    int64_t NextUsed(int64_t from, int64_t limit) const;

private:
    enum class Kind : uint8_t { Free, Used, Mixed, Unloaded };
    struct Piece {
        Kind kind = Kind::Free;
        bool reloadable = false;  // Mixed, read from the source and unchanged since
        int32_t slot = -1;        // its bitmap in m_slots while Mixed
        int32_t used = 0;         // set bits of that bitmap
    };

    // Empties the map (as before Init) and makes `units` free units. 0 or -1.
    int Reset(int64_t units);
    // Units of piece p that exist.
    int64_t PieceLength(int64_t p) const;
    // The piece's kind after reading it again when it is Unloaded.
    Kind Resolve(int64_t p) const;
    // A bitmap slot for a piece; drops the oldest reloadable piece when the
    // resident ones fill kResidentBytes. -1 when memory runs out.
    int32_t TakeSlot() const;
    void ReleaseSlot(Piece& piece) const;
    // Makes piece p Mixed with its bits as in `words` (kPieceWords words; bits
    // past the piece's units must be clear), or uniform when they are.
    // `reloadable`: the bits came from the source unchanged.
    int Store(int64_t p, const uint64_t* words, bool reloadable) const;
    // Sets / clears units [first, end), all existing.
    void Fill(int64_t first, int64_t end, bool used);
    bool Clip(int64_t start, int64_t count, int64_t& first, int64_t& end) const;
    bool AllInState(int64_t first, int64_t end, bool used) const;

    int64_t m_residentBytes;
    bool m_ready = false;       // after a successful Init*
    int64_t m_units = 0;
    int64_t m_bitmapBytes = 0;  // bytes of the bitmap as given to Init, else units / 8 rounded up
    int64_t m_pieceCount = 0;
    // Pieces are filled in lazily by the const walks, hence mutable.
    mutable std::unique_ptr<Piece[]> m_pieces;
    mutable std::vector<std::unique_ptr<uint64_t[]>> m_slots;
    mutable std::vector<int32_t> m_freeSlots;
    mutable std::deque<int64_t> m_reloadOrder;  // reloadable pieces, oldest read first
    mutable int64_t m_reloadableCount = 0;
    mutable bool m_reloadFailed = false;        // logged once
    std::unique_ptr<IAlloUnitSource> m_source;
    std::unique_ptr<uint8_t[]> m_flat;          // GetBitmap's copy
    int64_t m_flatBytes = 0;
};
