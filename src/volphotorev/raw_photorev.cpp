#include "volphotorev/raw_photorev.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

#include "io/disk.h"
#include "io/log.h"

namespace {

constexpr uint8_t kPhotoLead = 1;
constexpr uint8_t kOtherLead = 2;

// Fresh zero pages: nothing is touched before the first read.
CRawScanPhoto::ScanBuffer DefaultAllocate(size_t bytes) {
    return CRawScanPhoto::ScanBuffer(static_cast<uint8_t*>(std::calloc(bytes, 1)));
}

int64_t SectorsOf(uint64_t bytes) { return static_cast<int64_t>((bytes + SECTOR_SIZE - 1) / SECTOR_SIZE); }

}  // namespace

// The bytes a photo starting at a free sector may have: the free sectors from
// there on, as long as they follow each other, up to the partition's end and
// at most kMaxWholeSectors. The part the scan has read already comes from its
// buffer; the rest is read from the device as the reader gets there, a piece
// of kAheadBytes at a time.
class CRawScanPhoto::FreeSectorsSource : public IByteSource {
public:
    FreeSectorsSource(CRawScanPhoto& scan, const uint8_t* read, uint64_t readBytes, int64_t firstSector, uint64_t size)
        : m_scan(scan), m_read(read), m_readBytes(std::min(readBytes, size)), m_first(firstSector), m_size(size) {}

    uint64_t Size() const override { return m_size; }

    std::span<const uint8_t> View(uint64_t pos, size_t max) override {
        if (pos >= m_size) return {};
        if (pos < m_readBytes)
            return {m_read + pos, static_cast<size_t>(std::min<uint64_t>(max, m_readBytes - pos))};
        if (!(pos >= m_aheadPos && pos < m_aheadPos + m_aheadBytes) && !ReadAhead(pos)) return {};
        const uint64_t at = pos - m_aheadPos;
        return {m_scan.m_ahead.get() + at, static_cast<size_t>(std::min<uint64_t>(max, m_aheadBytes - at))};
    }

    int64_t Read(uint64_t pos, std::span<uint8_t> out) override {
        uint64_t done = 0;
        while (done < out.size() && pos + done < m_size) {
            std::span<const uint8_t> v = View(pos + done, out.size() - done);
            if (v.empty()) return -1;
            std::memcpy(out.data() + done, v.data(), v.size());
            done += v.size();
        }
        return static_cast<int64_t>(done);
    }

private:
    // Reads the sectors from the one that holds `pos` into the scan's
    // read-ahead buffer. False when the device could not read them.
    bool ReadAhead(uint64_t pos) {
        if (!m_scan.m_ahead) m_scan.m_ahead = DefaultAllocate(kAheadBytes);
        if (!m_scan.m_ahead) return false;
        const uint64_t from = pos / SECTOR_SIZE * SECTOR_SIZE;
        const uint64_t bytes = std::min<uint64_t>(kAheadBytes, (m_size - from + SECTOR_SIZE - 1) / SECTOR_SIZE * SECTOR_SIZE);
        const uint64_t sectors = bytes / SECTOR_SIZE;
        m_aheadBytes = 0;
        m_scan.m_aheadSectors = 0;
        // The device's reads go on past a sector they cannot read and leave
        // its place in the buffer as it was: a piece with such a sector is
        // not the photo's bytes.
        const uint64_t failed = m_scan.FailedReads();
        const uint64_t got = m_scan.m_device->ReadSectors(static_cast<uint64_t>(m_first) + from / SECTOR_SIZE, sectors,
                                                         m_scan.m_ahead.get());
        if (got < sectors || m_scan.FailedReads() != failed) return false;
        m_aheadPos = from;
        m_aheadBytes = std::min(bytes, m_size - from);
        m_scan.m_aheadFirst = m_first + static_cast<int64_t>(from / SECTOR_SIZE);
        m_scan.m_aheadSectors = static_cast<int64_t>(sectors);
        return true;
    }

    CRawScanPhoto& m_scan;
    const uint8_t* m_read;   // the scan buffer from the photo's first sector
    uint64_t m_readBytes;    // bytes of it that were read
    int64_t m_first;         // the photo's first sector
    uint64_t m_size;
    uint64_t m_aheadPos = 0;    // bytes [m_aheadPos, m_aheadPos + m_aheadBytes) are in m_scan.m_ahead
    uint64_t m_aheadBytes = 0;
};

CRawScanPhoto::CRawScanPhoto(IPartition* partition, CAlloUnitMgr* allocMap, IPhotoItmesMgr* items,
                             BufferAllocator allocate)
    : m_partition(partition), m_allocMap(allocMap), m_items(items) {
    m_device = std::make_unique<CVolDevice>(partition ? partition->GetDisk() : nullptr,
                                            partition ? partition->GetOff() : 0);
    m_buffer = (allocate ? allocate : DefaultAllocate)(kBufferBytes);
    if (m_buffer) m_blockSectors = kBlockSectors;
    for (unsigned b = 0; b < 256; ++b)
        if (MayBeOtherFileHeader(static_cast<uint8_t>(b))) m_leadBytes[b] = kOtherLead;
    for (const PhotoFormat& f : PhotoFormats())
        for (uint8_t lead : f.leadBytes) m_leadBytes[lead] |= kPhotoLead;
}

CRawScanPhoto::~CRawScanPhoto() = default;

bool CRawScanPhoto::Quiet(const uint8_t* head) const {
    // Free space is often zeroed, or erased flash that reads as FF: no
    // signature or other-file header begins with eight equal bytes.
    uint64_t first8;
    std::memcpy(&first8, head, sizeof first8);
    return !m_leadBytes[head[0]] || first8 == head[0] * 0x0101010101010101ULL;
}

uint64_t CRawScanPhoto::FailedReads() const {
    CDisk* disk = m_partition ? m_partition->GetDisk() : nullptr;
    IDeviceHandle* handle = disk ? disk->GetHandle() : nullptr;
    return handle ? handle->Tally().failed.load() : 0;
}

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
    m_cur = Candidate();
    m_aheadSectors = 0;
    const int64_t begin = std::clamp<int64_t>(m_start.next, 0, totalSectors);
    m_skipUntil = std::max<int64_t>(m_start.skipUntil, 0);
    m_photosFound = std::max<int64_t>(m_start.photosFound, 0);
    m_photosStored = std::max<int64_t>(m_start.photosStored, 0);

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
    // sector's progress report. A resumed scan starts with the progress it
    // had, in one report, and then reports where a scan from the start would.
    int64_t runFirst = 0, runLen = 0;
    const int64_t from = begin - begin % kProgressSectors;
    if (from > 0) {
        const int r = ReportProgress(from, begin, 0, 0);
        if (r < 0) return r;
    }
    for (int64_t a = from; a < totalSectors;) {
        if (a > from) {
            const int r = ReportProgress(kProgressSectors, a, runFirst, runLen);
            if (r < 0) {
                m_cur = Candidate();
                return r;
            }
        }
        int64_t b = totalSectors - a > kProgressSectors ? a + kProgressSectors : totalSectors;
        int64_t x = std::max(a, begin);
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
    if (m_cur.item) FinishCandidate(m_cur.first + m_cur.seen);
    const int r = ReportProgress(totalSectors % kProgressSectors, totalSectors, 0, 0);
    return r < 0 ? r : 0;
}

RawScanPosition CRawScanPhoto::Position(int64_t walked, int64_t runFirst, int64_t runLen) const {
    RawScanPosition p;
    p.next = runLen > 0 ? runFirst : walked;
    if (m_cur.item) p.next = std::min(p.next, m_cur.first);
    p.skipUntil = m_skipUntil;
    p.photosFound = m_photosFound;
    p.photosStored = m_photosStored;
    return p;
}

int CRawScanPhoto::ReportProgress(int64_t done, int64_t walked, int64_t runFirst, int64_t runLen) {
    int r = m_sink->Notify(UPDATE_CURRENT_PROGRESS, 0, &done, 0);
    if (r < 0 || !m_reportPositions) return r < 0 ? r : 0;
    const RawScanPosition p = Position(walked, runFirst, runLen);
    r = m_sink->Notify(RAW_SCAN_POSITION, 0, const_cast<RawScanPosition*>(&p), 0);
    return r < 0 ? r : 0;
}

void CRawScanPhoto::ScanFreeRun(int64_t first, int64_t count) {
    if (!m_buffer || count <= 0 || count > m_blockSectors || first < 0) return;
    // Sectors of a whole photo stored already: neither read nor looked at.
    const int64_t skip = std::clamp<int64_t>(m_skipUntil - first, 0, count);
    if (skip == count) return;
    // A photo followed past its run read the next runs whole: the run it
    // ended in is in memory already and is taken over as it is.
    if (first == m_aheadFirst && count == m_aheadSectors) {
        std::swap(m_buffer, m_ahead);
        m_aheadSectors = 0;
        ScanHeldRun(m_buffer.get() + skip * SECTOR_SIZE, first + skip, count - skip, count - skip);
        return;
    }
    first += skip;
    count -= skip;
    uint8_t* buf = m_buffer.get();
    // The sectors after a photo that ended inside its last read-ahead piece
    // are in memory already: they are taken from there, not read again.
    int64_t held = 0;
    if (first >= m_aheadFirst && first < m_aheadFirst + m_aheadSectors) {
        held = std::min(count, m_aheadFirst + m_aheadSectors - first);
        std::memcpy(buf, m_ahead.get() + (first - m_aheadFirst) * SECTOR_SIZE, static_cast<size_t>(held) * SECTOR_SIZE);
    }
    uint64_t got = static_cast<uint64_t>(held);
    if (held < count)
        got += m_device->ReadSectors(static_cast<uint64_t>(first + held), static_cast<uint64_t>(count - held),
                                     buf + held * SECTOR_SIZE);
    ScanHeldRun(buf, first, count, static_cast<int64_t>(std::min<uint64_t>(got, static_cast<uint64_t>(count))));
}

void CRawScanPhoto::ScanHeldRun(const uint8_t* buf, int64_t first, int64_t count, int64_t n) {
    // A candidate open at the end of the previous run goes on only when this
    // run continues it on the disk.
    if (m_cur.item && m_cur.first + m_cur.seen != first) FinishCandidate(m_cur.first + m_cur.seen);

    for (int64_t i = 0; i < n; ++i) {
        // Most sectors begin with a byte no signature begins with: they start
        // and end nothing until an open candidate reaches its length or cap.
        int64_t quiet = n;
        if (m_cur.item) quiet = std::min(quiet, m_cur.first - first + (m_cur.exact > 0 ? m_cur.Sectors() : m_cur.cap));
        while (i < quiet && Quiet(buf + i * SECTOR_SIZE)) ++i;
        if (i >= n) break;
        const uint8_t* head = buf + i * SECTOR_SIZE;
        const int64_t s = first + i;
        // A bitmap whose headers gave its length ends there.
        if (m_cur.item && m_cur.exact > 0 && s - m_cur.first >= m_cur.Sectors()) FinishCandidate(s);

        const PhotoFormat* format = nullptr;
        StructureResult r;
        bool other = false;
        if (const uint8_t lead = m_leadBytes[head[0]]) {
            std::span<const uint8_t> sector(head, SECTOR_SIZE);
            if (lead & kPhotoLead) format = MatchPhotoFormat(sector);
            if (format) {
                r = ReadStructureAt(*format, buf, first, n, count, i);
                if (r.verdict == StructureVerdict::NotThisFormat) {
                    LOG_V("sector %lld: %.*s signature without a valid header (%.*s): starts nothing\n",
                          static_cast<long long>(s), static_cast<int>(format->name.size()), format->name.data(),
                          static_cast<int>(r.why.size()), r.why.data());
                    format = nullptr;
                }
            }
            other = !format && m_cur.item && m_cur.exact == 0 && (lead & kOtherLead) && IsOtherFileHeader(sector);
        }
        if (m_cur.item) {
            if (format) {
                if (m_cur.exact > 0)
                    LOG_V("sector %lld: %.*s from sector %lld cut by a %.*s written over its tail\n",
                          static_cast<long long>(s), static_cast<int>(m_cur.format->name.size()),
                          m_cur.format->name.data(), static_cast<long long>(m_cur.first),
                          static_cast<int>(format->name.size()), format->name.data());
                FinishCandidate(s);
            } else if (m_cur.exact == 0 && (other || s - m_cur.first >= m_cur.cap)) {
                FinishCandidate(s);
            }
        }
        if (!format) continue;
        const int64_t next = StartCandidate(*format, r, s);
        // A whole photo's sectors are its own: nothing inside starts or ends
        // anything. Those not read yet are never read.
        const int64_t skipTo = std::min(next, first + n);
        if (next > first + n) m_skipUntil = next;
        i = skipTo - first - 1;
    }

    if (m_cur.item) {
        m_cur.seen = first + n - m_cur.first;
        // At the partition's end nothing can continue it.
        if (first + count >= m_totalSectors) FinishCandidate(first + n);
    }
}

StructureResult CRawScanPhoto::ReadStructureAt(const PhotoFormat& format, const uint8_t* buf, int64_t first, int64_t n,
                                               int64_t count, int64_t i) {
    const int64_t s = first + i;
    int64_t limit = std::min(m_totalSectors, s + kMaxWholeSectors);
    if (n < count) {
        // The device gave this run short: what it did not give is not followed.
        limit = std::min(limit, first + n);
    } else if (first + count < limit && m_allocMap) {
        limit = m_allocMap->NextUsed(first + count, limit);
    }
    const uint64_t size = static_cast<uint64_t>(std::max<int64_t>(limit - s, 0)) * SECTOR_SIZE;
    FreeSectorsSource src(*this, buf + i * SECTOR_SIZE, static_cast<uint64_t>(n - i) * SECTOR_SIZE, s,
                          size);
    return format.readStructure(src);
}

int64_t CRawScanPhoto::StartCandidate(const PhotoFormat& format, const StructureResult& r, int64_t s) {
    // The kind of file the reader found may be more exact than the signature's
    // (a TIFF that is a camera's RAW).
    const PhotoFormat& kind = PhotoFormatOfResult(format, r);
    const std::string_view extension = r.extension.empty() ? kind.extension : r.extension;
    const int nameLen = static_cast<int>(format.name.size());
    const char* name = format.name.data();
    if (r.verdict == StructureVerdict::Whole && r.length > 0) {
        if (!r.why.empty())
            LOG_V("sector %lld: %.*s of %llu bytes (%.*s)\n", static_cast<long long>(s), nameLen, name,
                  static_cast<unsigned long long>(r.length), static_cast<int>(r.why.size()), r.why.data());
        if (!r.lengthFromHeader) {
            StorePhoto(kind.category, extension, s, SectorsOf(r.length), r.length);
            return s + SectorsOf(r.length);
        }
        // Only the headers vouch for the length: look on inside it for a
        // photo written over its tail.
        m_cur = Candidate{std::make_unique<PhotoItem>(), &kind, s, 0, 0, r.length, extension};
        return s + 1;
    }
    int64_t cap = kMaxPhotoSectors;
    if (r.verdict == StructureVerdict::Broken) {
        // A photo found good beyond the 10 MiB cap keeps what was found good.
        cap = std::max(cap, SectorsOf(r.length));
        LOG_V("sector %lld: %.*s broken at byte %llu (%.*s): cut by the sector rules\n", static_cast<long long>(s),
              nameLen, name, static_cast<unsigned long long>(r.length), static_cast<int>(r.why.size()),
              r.why.data());
    } else {
        LOG_V("sector %lld: %.*s end not known (%.*s): cut by the sector rules\n", static_cast<long long>(s),
              nameLen, name, static_cast<int>(r.why.size()), r.why.data());
    }
    m_cur = Candidate{std::make_unique<PhotoItem>(), &kind, s, 0, cap, 0, extension};
    return s + 1;
}

void CRawScanPhoto::FinishCandidate(int64_t end) {
    Candidate c = std::move(m_cur);
    m_cur = Candidate();
    if (!c.item || end <= c.first) return;
    const int64_t sectors = end - c.first;
    // A bitmap kept whole up to its headers' length is that long; anything
    // cut short is as long as its sectors.
    const uint64_t bytes = c.exact > 0 && sectors == c.Sectors() ? c.exact : static_cast<uint64_t>(sectors) * SECTOR_SIZE;
    StorePhoto(c.format->category, c.extension, c.first, sectors, bytes);
}

void CRawScanPhoto::StorePhoto(PhotoCategory category, std::string_view extension, int64_t first, int64_t sectors,
                               uint64_t bytes) {
    // Numbered whether kept or not: a photo keeps its name whatever types
    // are chosen. One left out was still followed, so it ended the photo
    // before it and nothing inside it started another.
    ++m_photosFound;
    if (m_items && !m_items->Wants(category, bytes)) {
        LOG_V("sector %lld: a photo of %llu bytes, category %d, left out by the choice of types and sizes\n",
              static_cast<long long>(first), static_cast<unsigned long long>(bytes), static_cast<int>(category));
        return;
    }
    auto item = std::make_unique<PhotoItem>();
    item->category = category;
    item->origin = RawScan;
    item->runs.resize(2);
    item->runs[0] = PhotoRun{0, first, sectors};
    item->runs[1] = PhotoRun{sectors, -3, 0};
    item->size = static_cast<uint32_t>(bytes);

    ++m_photosStored;
    char name[48];
    std::snprintf(name, sizeof name, "%010lld.%.*s", static_cast<long long>(m_photosFound),
                  static_cast<int>(std::min<size_t>(extension.size(), 16)), extension.data());
    item->name.assign(name, name + std::strlen(name));

    if (m_items) m_items->AddItem(std::move(item));
    if (m_sink) (void)m_sink->Notify(PHOTO_FOUND, 1, nullptr, 0);
}
