#include "volphotorev/photorunsource.h"

#include <algorithm>
#include <cstring>

#include "io/deviceio.h"

CPhotoRunSource::CPhotoRunSource(IDevice* device, const std::vector<PhotoRun>& runs, uint64_t size)
    : m_device(device), m_runs(runs), m_size(size) {
    // Never more bytes than the runs hold.
    uint64_t held = 0;
    for (const PhotoRun& r : runs) {
        if (r.sectorCount <= 0) break;
        held = std::max<uint64_t>(held, static_cast<uint64_t>(r.fileSector + r.sectorCount) * SECTOR_SIZE);
    }
    m_size = std::min(m_size, held);
}

int64_t CPhotoRunSource::Read(uint64_t pos, std::span<uint8_t> out) {
    if (!m_device || pos >= m_size) return 0;
    const uint64_t want = std::min<uint64_t>(out.size(), m_size - pos);
    uint64_t done = 0;
    while (done < want) {
        const uint64_t at = pos + done;
        const auto fileSector = static_cast<int64_t>(at / SECTOR_SIZE);
        const PhotoRun* run = nullptr;
        for (const PhotoRun& r : m_runs) {
            if (r.sectorCount <= 0) break;
            if (fileSector >= r.fileSector && fileSector < r.fileSector + r.sectorCount) {
                run = &r;
                break;
            }
        }
        if (!run) return -1;
        const int64_t volumeSector = run->volumeSector + (fileSector - run->fileSector);
        const uint64_t inSector = at % SECTOR_SIZE;
        const uint64_t n = std::min<uint64_t>(want - done, SECTOR_SIZE - inSector);
        if (inSector == 0 && n == SECTOR_SIZE) {
            // Whole sectors go straight to the caller, as many as the run has.
            const uint64_t sectors =
                std::min<uint64_t>((want - done) / SECTOR_SIZE,
                                   static_cast<uint64_t>(run->fileSector + run->sectorCount - fileSector));
            if (m_device->ReadSectors(static_cast<uint64_t>(volumeSector), sectors, out.data() + done) != sectors)
                return -1;
            done += sectors * SECTOR_SIZE;
            continue;
        }
        if (m_cachedSector != volumeSector) {
            m_cachedSector = -1;
            if (m_device->ReadSectors(static_cast<uint64_t>(volumeSector), 1, m_cache) != 1) return -1;
            m_cachedSector = volumeSector;
        }
        std::memcpy(out.data() + done, m_cache + inSector, n);
        done += n;
    }
    return static_cast<int64_t>(done);
}
