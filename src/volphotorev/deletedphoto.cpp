#include "volphotorev/deletedphoto.h"

#include <algorithm>
#include <cstring>

#include "io/deviceio.h"
#include "volphotorev/compressedunits.h"

namespace {
constexpr uint64_t kWindowSectors = 128;  // 64 KiB
}  // namespace

CRunByteSource::CRunByteSource(IDevice* device, std::span<const PhotoRun> runs, uint64_t size)
    : m_device(device), m_runs(runs), m_size(size) {}

bool CRunByteSource::Fill(uint64_t sector) {
    m_windowSectors = 0;
    for (const PhotoRun& run : m_runs) {
        if (run.sectorCount <= 0) break;
        if (run.fileSector < 0) return false;
        const uint64_t first = static_cast<uint64_t>(run.fileSector);
        const uint64_t count = static_cast<uint64_t>(run.sectorCount);
        if (sector < first || sector - first >= count) continue;
        const uint64_t n = std::min(kWindowSectors, count - (sector - first));
        m_window.assign(n * SECTOR_SIZE, 0);
        if (run.volumeSector >= 0) {
            const uint64_t lba = static_cast<uint64_t>(run.volumeSector) + (sector - first);
            if (!m_device || m_device->ReadSectors(lba, n, m_window.data()) != n) return false;
        }
        m_windowFirst = sector;
        m_windowSectors = n;
        return true;
    }
    return false;
}

int64_t CRunByteSource::Read(uint64_t pos, std::span<uint8_t> out) {
    if (pos >= m_size) return 0;
    const uint64_t want = std::min<uint64_t>(out.size(), m_size - pos);
    uint64_t done = 0;
    while (done < want) {
        const uint64_t at = pos + done;
        const uint64_t sector = at / SECTOR_SIZE;
        if (m_windowSectors == 0 || sector < m_windowFirst || sector >= m_windowFirst + m_windowSectors) {
            if (!Fill(sector)) return -1;
        }
        const uint64_t offset = at - m_windowFirst * SECTOR_SIZE;
        const uint64_t n = std::min(want - done, m_windowSectors * SECTOR_SIZE - offset);
        std::memcpy(out.data() + done, m_window.data() + offset, n);
        done += n;
    }
    return static_cast<int64_t>(done);
}

int64_t CCompressedRunByteSource::Read(uint64_t pos, std::span<uint8_t> out) {
    if (pos >= m_size) return 0;
    const uint64_t want = std::min<uint64_t>(out.size(), m_size - pos);
    const uint64_t unitBytes = m_unitSectors * SECTOR_SIZE;
    if (unitBytes == 0) return -1;
    uint64_t done = 0;
    while (done < want) {
        const uint64_t at = pos + done, index = at / unitBytes;
        if (index != m_unitIndex) {
            m_unitIndex = UINT64_MAX;
            m_unit.resize(std::min(unitBytes, m_size - index * unitBytes));
            auto read = [this](uint64_t sector, uint64_t count, uint8_t* to) {
                return m_device && m_device->ReadSectors(sector, count, to) == count;
            };
            if (ExpandCompressedUnit(m_runs, m_unitSectors, index, m_packed, m_unit, read) != UnitResult::Expanded)
                return -1;
            m_unitIndex = index;
        }
        const uint64_t offset = at - index * unitBytes;
        const uint64_t n = std::min(want - done, m_unit.size() - offset);
        std::memcpy(out.data() + done, m_unit.data() + offset, n);
        done += n;
    }
    return static_cast<int64_t>(done);
}

const PhotoFormat* CheckDeletedPhoto(IByteSource& src, const PhotoFormat& named, uint64_t clusterBytes,
                                     std::string_view& why) {
    uint8_t head[SECTOR_SIZE];
    const int64_t got = src.Read(0, head);
    if (got <= 0) {
        why = "its first sector cannot be read";
        return nullptr;
    }
    const PhotoFormat* format = MatchPhotoFormat(std::span<const uint8_t>(head, static_cast<size_t>(got)));
    if (!format || (format != &named && format->category != named.category)) {
        why = "its data does not begin with the photo's signature";
        return nullptr;
    }
    const StructureResult r = format->readStructure(src);
    switch (r.verdict) {
    case StructureVerdict::Whole:
        if (r.length > 0 && r.length <= src.Size() && src.Size() - r.length < std::max<uint64_t>(clusterBytes, 1))
            return format;
        why = r.length > src.Size() ? "its structure ends past its size" : "its structure ends clusters before its size";
        return nullptr;
    case StructureVerdict::Unbounded:
        return format;
    case StructureVerdict::Broken:
        why = r.why.empty() ? std::string_view("its structure breaks") : r.why;
        return nullptr;
    default:
        why = "its data is not the photo its name says";
        return nullptr;
    }
}
