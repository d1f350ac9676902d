#include "volphotorev/raw_photorev.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "io/disk.h"
#include "io/log.h"

namespace {

// Bytes cleared at the start of every sector of the buffer once it has been
// looked at: more than the longest signature. A sector the device cannot read
// in a later run then starts and ends nothing, instead of showing what an
// earlier run left at its place.
constexpr size_t kHeadBytes = 16;

const char* ExtensionOf(int category) {
    switch (category) {
    case Jpg: return "jpg";
    case Png: return "png";
    case Bmp: return "bmp";
    case Gif: return "gif";
    default: return "unk";
    }
}

// Fresh zero pages: nothing is touched before the first read.
CRawScanPhoto::ScanBuffer DefaultAllocate(size_t bytes) {
    return CRawScanPhoto::ScanBuffer(static_cast<uint8_t*>(std::calloc(bytes, 1)));
}

}  // namespace

CRawScanPhoto::CRawScanPhoto(IPartition* partition, CAlloUnitMgr* allocMap, IPhotoItmesMgr* items,
                             BufferAllocator allocate)
    : m_partition(partition), m_allocMap(allocMap), m_items(items) {
    m_device = std::make_unique<CVolDevice>(partition ? partition->GetDisk() : nullptr,
                                            partition ? partition->GetOff() : 0);
    m_buffer = (allocate ? allocate : DefaultAllocate)(kBufferBytes);
    if (m_buffer) m_blockSectors = kBlockSectors;
    m_parsers = MakePhotoParsers();
    for (unsigned b = 0; b < 256; ++b) m_leadBytes[b] = MayBeOtherFileHeader(static_cast<uint8_t>(b));
    for (const auto& p : m_parsers) m_leadBytes[p->LeadByte()] = true;
}

CRawScanPhoto::~CRawScanPhoto() = default;

int CRawScanPhoto::Do(IEventSink* sink) {
    if (!sink) {
        LOG_E("no event sink\n");
        return -1;
    }
    int r = sink->Notify(CURRENT_TASK_START, 0, m_partition, 0);
    if (r < 0) return r;
    m_sink = sink;
    uint64_t len = m_partition ? m_partition->GetLen() : 0;
    r = TransferFreeAlloUnits(static_cast<int64_t>(std::min<uint64_t>(len, INT64_MAX)), m_blockSectors);
    if (r < 0) {
        m_sink = nullptr;
        return r;
    }
    r = sink->Notify(CURRENT_TASK_FINISHED, 0, nullptr, 0);
    m_sink = nullptr;
    return r < 0 ? r : 0;
}

int CRawScanPhoto::TransferFreeAlloUnits(int64_t totalSectors, int64_t blockSectors) {
    if (!m_sink) {
        LOG_E("no event sink\n");
        return -1;
    }
    if (!m_buffer || blockSectors <= 0 || blockSectors > m_blockSectors) {
        LOG_E("no read buffer for runs of %lld sectors\n", static_cast<long long>(blockSectors));
        return -1;
    }
    if (!m_allocMap || !m_items || totalSectors < 0) {
        LOG_E("nothing to scan: map %p, store %p, %lld sectors\n", static_cast<void*>(m_allocMap),
              static_cast<void*>(m_items), static_cast<long long>(totalSectors));
        return -1;
    }
    m_totalSectors = totalSectors;

    int64_t total = totalSectors;
    if (m_sink->Notify(INIT_CURRENT_PROGRESS, 0, &total, 0) < 0) {
        LOG_E("Notify(IEventSink::INIT_CURRENT_PROGRESS) failed, SectorsToCopy: %lld\n",
              static_cast<long long>(totalSectors));
        return -1;
    }

    CDisk* disk = m_partition ? m_partition->GetDisk() : nullptr;
    if (disk && disk->GetHandle()) {
        constexpr uint64_t kMaxSectors = INT64_MAX / SECTOR_SIZE;  // byte offsets stay in off_t
        uint64_t off = m_partition->GetOff();
        uint64_t sectors = static_cast<uint64_t>(totalSectors);
        if (off <= kMaxSectors && sectors <= kMaxSectors - off)
            disk->GetHandle()->AdviseSequential(off * SECTOR_SIZE, sectors * SECTOR_SIZE);
    }

    // The free sectors are walked a word of the map at a time, but runs are
    // cut and progress reported exactly where a walk of one sector at a time
    // would: a run closes at the sector after its last one, after that
    // sector's progress report.
    int64_t runFirst = 0, runLen = 0;
    for (int64_t a = 0; a < totalSectors;) {
        if (a > 0) {
            int64_t done = kProgressSectors;
            int r = m_sink->Notify(UPDATE_CURRENT_PROGRESS, 0, &done, 0);
            if (r < 0) return r;
        }
        int64_t b = totalSectors - a > kProgressSectors ? a + kProgressSectors : totalSectors;
        int64_t x = a;
        while (x < b) {
            if (runLen == blockSectors) {
                ScanFreeRun(runFirst, runLen);
                runLen = 0;
            }
            if (runLen == 0) {
                int64_t f = m_allocMap->NextFree(x, b);
                if (f >= b) break;
                runFirst = x = f;
            }
            int64_t limit = std::min(b, x + (blockSectors - runLen));
            int64_t e = m_allocMap->NextUsed(x, limit);
            runLen += e - x;
            x = e;
            if (e < limit) {  // sector e is used: the run ends before it
                ScanFreeRun(runFirst, runLen);
                runLen = 0;
            }
        }
        a = b;
    }
    if (runLen > 0) ScanFreeRun(runFirst, runLen);
    if (m_pending) {
        int64_t end = m_pending->runs[0].volumeSector + m_pending->runs[0].sectorCount;
        FinishCandidate(std::move(m_pending), end);
    }
    int64_t rest = totalSectors % kProgressSectors;
    int r = m_sink->Notify(UPDATE_CURRENT_PROGRESS, 0, &rest, 0);
    return r < 0 ? r : 0;
}

std::unique_ptr<PhotoItem> CRawScanPhoto::NewCandidate(int category, int64_t first) const {
    auto item = std::make_unique<PhotoItem>();
    item->category = static_cast<PhotoCategory>(category);
    item->runs.resize(2);
    item->runs[0].volumeSector = first;
    return item;
}

void CRawScanPhoto::ScanFreeRun(int64_t first, int64_t count) {
    if (!m_buffer || count <= 0 || count > m_blockSectors || first < 0) return;
    uint8_t* buf = m_buffer.get();
    uint64_t got = m_device->ReadSectors(static_cast<uint64_t>(first), static_cast<uint64_t>(count), buf);
    int64_t n = static_cast<int64_t>(std::min<uint64_t>(got, static_cast<uint64_t>(count)));

    std::unique_ptr<PhotoItem> cur;
    if (m_pending) {
        int64_t end = m_pending->runs[0].volumeSector + m_pending->runs[0].sectorCount;
        if (end == first) cur = std::move(m_pending);
        else FinishCandidate(std::move(m_pending), end);
    }

    for (int64_t i = 0; i < n; ++i) {
        uint8_t* head = buf + i * SECTOR_SIZE;
        int64_t s = first + i;
        int c = -1;
        bool other = false;
        // Most sectors begin with a byte no signature begins with.
        if (m_leadBytes[head[0]]) {
            std::span<const uint8_t> sector(head, SECTOR_SIZE);
            c = MatchPhotoHeader(m_parsers, sector);
            other = c < 0 && cur && IsOtherFileHeader(sector);
        }
        std::memset(head, 0, kHeadBytes);
        if (cur) {
            if (c >= 0) {
                FinishCandidate(std::move(cur), s);
                cur = NewCandidate(c, s);
            } else if (other || s - cur->runs[0].volumeSector >= kMaxPhotoSectors) {
                FinishCandidate(std::move(cur), s);
            }
        } else if (c >= 0) {
            cur = NewCandidate(c, s);
        }
    }
    for (int64_t i = n; i < count; ++i) std::memset(buf + i * SECTOR_SIZE, 0, kHeadBytes);

    if (cur) {
        if (first + count < m_totalSectors) {
            cur->runs[0].sectorCount = first + n - cur->runs[0].volumeSector;
            m_pending = std::move(cur);
        } else {
            FinishCandidate(std::move(cur), first + n);
        }
    }
}

void CRawScanPhoto::FinishCandidate(std::unique_ptr<PhotoItem> candidate, int64_t end) {
    if (!candidate || candidate->runs.size() < 2) return;
    PhotoRun& run = candidate->runs[0];
    run.fileSector = 0;
    run.sectorCount = end - run.volumeSector;

    ++m_photosStored;
    char name[32];
    std::snprintf(name, sizeof name, "%010lld.%s", static_cast<long long>(m_photosStored),
                  ExtensionOf(candidate->category));
    candidate->name.assign(name, name + std::strlen(name));
    candidate->origin = RawScan;
    candidate->size = static_cast<uint32_t>(run.sectorCount * SECTOR_SIZE);
    candidate->runs[1] = PhotoRun{run.sectorCount, -3, 0};

    if (m_items) m_items->AddItem(std::move(candidate));
    if (m_sink) (void)m_sink->Notify(PHOTO_FOUND, 1, nullptr, 0);
}
