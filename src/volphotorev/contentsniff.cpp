#include "volphotorev/contentsniff.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <span>

#include "io/deviceio.h"
#include "io/log.h"

CContentSniffer::CContentSniffer(IDevice* device) : m_device(device) {}

void CContentSniffer::LogTotals() const {
    LOG_V("Looked at the first sector of %llu files in %llu reads \n", static_cast<unsigned long long>(m_files),
          static_cast<unsigned long long>(m_reads));
}

bool FirstSectorOf(const PhotoItem& item, uint64_t& sector) {
    if (item.runs.empty()) return false;
    const PhotoRun& first = item.runs.front();
    if (first.fileSector != 0 || first.sectorCount == 0 || first.volumeSector < 0) return false;
    sector = static_cast<uint64_t>(first.volumeSector);
    return true;
}

void CContentSniffer::Add(uint64_t sector, uint64_t tag) {
    try {
        m_pending.push_back(Pending{sector, tag});
    } catch (const std::bad_alloc&) {
        LOG_E("%s", "Out of memory: a file is not looked at for a photo \n");
    }
}

void CContentSniffer::Flush(const std::function<void(uint64_t, const PhotoFormat&)>& found) {
    std::vector<Pending> batch;
    batch.swap(m_pending);
    if (batch.empty() || !m_device) return;
    if (m_buffer.empty()) {
        try {
            m_buffer.resize(kMaxReadSectors * SECTOR_SIZE);
        } catch (const std::bad_alloc&) {
            LOG_E("%s", "Out of memory: files are not looked at for photos \n");
            return;
        }
    }
    std::sort(batch.begin(), batch.end(), [](const Pending& a, const Pending& b) { return a.sector < b.sector; });
    m_files += batch.size();
    for (size_t i = 0; i < batch.size();) {
        // One read from this file's sector over the files that follow closely.
        const uint64_t first = batch[i].sector;
        size_t j = i + 1;
        while (j < batch.size() && batch[j].sector - batch[j - 1].sector <= kMaxGapSectors &&
               batch[j].sector - first < kMaxReadSectors)
            ++j;
        const uint64_t count = batch[j - 1].sector - first + 1;
        // The device leaves unreadable sectors as they were: cleared, they
        // begin with nothing.
        std::memset(m_buffer.data(), 0, count * SECTOR_SIZE);
        const uint64_t got = std::min(m_device->ReadSectors(first, count, m_buffer.data()), count);
        ++m_reads;
        for (size_t k = i; k < j; ++k) {
            const uint64_t at = batch[k].sector - first;
            if (at >= got) break;
            const std::span<const uint8_t> head(m_buffer.data() + at * SECTOR_SIZE, SECTOR_SIZE);
            if (const PhotoFormat* format = MatchPhotoFormat(head)) found(batch[k].tag, *format);
        }
        i = j;
    }
}
