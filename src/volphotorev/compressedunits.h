// Photos NTFS keeps compressed, read unit by unit through their runs.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "filesystem/ntfs_compress.h"
#include "io/deviceio.h"
#include "volphotorev/photoitems.h"

enum class UnitResult { Expanded, BadRuns, Unreadable, Corrupt };

// Expands unit `unit` (of `unitSectors` sectors) of a compressed photo into
// `out`, which holds the unit's bytes, or fewer at the photo's end. A unit
// with no holes is stored as it is, one with no sectors on the disk is zeros,
// and one with both holds its sectors' bytes LZNT1-compressed. `read(sector,
// count, to)` reads sectors of the partition and says whether it read them
// all; `packed` is scratch. Corrupt: the unit did not expand, and `out`
// keeps what it gave, then zeros.
template <class ReadSectors>
UnitResult ExpandCompressedUnit(std::span<const PhotoRun> runs, uint64_t unitSectors, uint64_t unit,
                                std::vector<uint8_t>& packed, std::span<uint8_t> out, ReadSectors&& read) {
    if (unitSectors == 0 || unitSectors > kMaxCompressionUnitSectors || out.size() > unitSectors * SECTOR_SIZE)
        return UnitResult::BadRuns;
    packed.resize(unitSectors * SECTOR_SIZE);
    const uint64_t first = unit * unitSectors, end = first + unitSectors;
    uint64_t onDisk = 0, holes = 0;
    for (const PhotoRun& run : runs) {
        if (run.sectorCount == 0) break;
        if (run.fileSector < 0 || run.sectorCount < 0) return UnitResult::BadRuns;
        const uint64_t runFirst = static_cast<uint64_t>(run.fileSector);
        const uint64_t runEnd = runFirst + static_cast<uint64_t>(run.sectorCount);
        const uint64_t from = std::max(runFirst, first), to = std::min(runEnd, end);
        if (from >= to) continue;
        if (run.volumeSector < 0) {
            holes += to - from;
            continue;
        }
        // Runs that overlap hold more sectors than the unit: no file's runs do.
        if (onDisk + (to - from) > unitSectors) return UnitResult::BadRuns;
        if (!read(static_cast<uint64_t>(run.volumeSector) + (from - runFirst), to - from,
                  packed.data() + onDisk * SECTOR_SIZE))
            return UnitResult::Unreadable;
        onDisk += to - from;
    }
    if (holes == 0) {
        const uint64_t stored = std::min<uint64_t>(out.size(), onDisk * SECTOR_SIZE);
        std::memcpy(out.data(), packed.data(), stored);
        std::memset(out.data() + stored, 0, out.size() - stored);
    } else if (onDisk == 0) {
        std::memset(out.data(), 0, out.size());
    } else if (ntfs_lznt1_decompress(std::span(packed.data(), onDisk * SECTOR_SIZE), out) < 0) {
        return UnitResult::Corrupt;
    }
    return UnitResult::Expanded;
}
