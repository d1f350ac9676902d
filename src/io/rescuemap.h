// The map of a copy from a failing drive, in GNU ddrescue's mapfile format:
// which bytes of the source were copied, which failed and how far the work on
// them went, which were never tried; and where the copy stood when the map
// was saved. Both programs can resume a copy from the other's map.
#pragma once

#include <cstdint>
#include <map>
#include <string>

// Status of a block of the source (the characters of the file format).
enum MapStatus : char {
    MAP_NON_TRIED = '?',
    MAP_NON_TRIMMED = '*',  // failed in a large read; its edges not yet read alone
    MAP_NON_SCRAPED = '/',  // edges trimmed; the inside not yet read sector by sector
    MAP_BAD_SECTOR = '-',   // read alone and failed
    MAP_FINISHED = '+',
};

// What the copy was doing when the map was saved (the status line's
// character): the block statuses above, where '?' copying, '*' trimming,
// '/' scraping, '-' retrying, '+' finished; and two of ddrescue's own modes.
constexpr char MAP_PHASE_FILLING = 'F';
constexpr char MAP_PHASE_GENERATING = 'G';

struct MapBlock {
    uint64_t pos = 0;   // bytes from the start of the source
    uint64_t size = 0;  // bytes; pos + size <= INT64_MAX
    char status = MAP_NON_TRIED;
};

class CRescueMap {
public:
    // The largest position the format allows (ddrescue's limit).
    static constexpr uint64_t kMaxPosition = INT64_MAX;

    // A map of `size` bytes (at most kMaxPosition), all non-tried, at
    // position 0 of the copying phase's first pass.
    explicit CRescueMap(uint64_t size = 0) { Reset(size); }
    void Reset(uint64_t size);

    // Reads map text. The blocks must follow each other without gaps or
    // overlaps; blocks before the first one listed count as non-tried. The
    // extent becomes the end of the last block. 0, or -1 with the line and
    // reason in `error` (the map is then empty).
    int Parse(const std::string& text, std::string& error);
    // The map text: `header` lines (each given without its "# "), the
    // status line and the blocks.
    std::string Format(const std::string& header) const;

    // Gives [pos, pos + size) the status, clipped to the extent; neighbours of
    // the same status join.
    void Mark(uint64_t pos, uint64_t size, char status);
    // Changes the extent: a longer map gets non-tried blocks at its end, a
    // shorter one loses what lies past `size`.
    void Resize(uint64_t size);

    // Status of the byte at `pos`; MAP_NON_TRIED past the extent.
    char StatusAt(uint64_t pos) const;
    // The first block holding a byte at or after `pos` whose status is
    // `status`: true and the block, clipped to start at `pos` or later.
    bool FindFrom(uint64_t pos, char status, MapBlock& out) const;
    // The last block holding a byte before `end` whose status is `status`,
    // clipped to end at `end` or earlier.
    bool FindBefore(uint64_t end, char status, MapBlock& out) const;

    uint64_t Extent() const { return m_extent; }
    uint64_t Bytes(char status) const;
    // Number of blocks of that status.
    uint64_t Blocks(char status) const;
    // Runs of neighbouring blocks that failed (non-trimmed, non-scraped or
    // bad), each counted once: the bad areas a person sees.
    uint64_t FailedAreas() const;
    uint64_t BlockCount() const { return m_blocks.size(); }
    // Every block in order.
    template <typename F>
    void ForEach(F&& f) const {
        for (const auto& [pos, b] : m_blocks) f(MapBlock{pos, b.size, b.status});
    }

    // The status line: where the copy stood, what it was doing, which pass.
    uint64_t currentPos = 0;
    char currentStatus = MAP_NON_TRIED;
    int currentPass = 1;

    static bool IsBlockStatus(char c);
    static bool IsPhase(char c);
    // The words ddrescue shows for a phase ("Copying non-tried blocks...").
    static const char* PhaseText(char phase);

private:
    struct Entry {
        uint64_t size = 0;
        char status = MAP_NON_TRIED;
    };
    // Makes a block start at `pos` (0 < pos < extent) by splitting the block
    // holding it.
    void SplitAt(uint64_t pos);
    // Joins the block at `pos` with its neighbours of the same status.
    void JoinAround(uint64_t pos);

    std::map<uint64_t, Entry> m_blocks;  // by position; cover [0, m_extent) without gaps
    uint64_t m_extent = 0;
};
