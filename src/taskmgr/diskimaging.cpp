#include "taskmgr/diskimaging.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "io/log.h"

namespace {

constexpr uint64_t kSector = 512;
constexpr uint64_t kMaxMapBytes = 512ULL << 20;  // a map larger than this is no map of ours

std::string LocalTimeText() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (!localtime_r(&now, &local)) return "?";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

// True when the bytes are all zero: such a block is left unwritten, since
// the image reads zero wherever nothing was written.
bool AllZero(const uint8_t* p, uint64_t n) {
    static const uint8_t zeros[4096] = {};
    while (n > 0) {
        const size_t k = static_cast<size_t>(std::min<uint64_t>(n, sizeof zeros));
        if (std::memcmp(p, zeros, k) != 0) return false;
        p += k;
        n -= k;
    }
    return true;
}

// Errors that mean the device itself is gone, not one of its sectors.
bool DeviceGone(int err) { return err == ENODEV || err == ENXIO || err == ENOMEDIUM; }

std::string SizeText(uint64_t bytes) {
    char text[48];
    if (bytes >= (1ULL << 30)) std::snprintf(text, sizeof text, "%.2f GB", static_cast<double>(bytes) / (1ULL << 30));
    else if (bytes >= (1ULL << 20)) std::snprintf(text, sizeof text, "%.2f MB", static_cast<double>(bytes) / (1ULL << 20));
    else if (bytes >= 1024) std::snprintf(text, sizeof text, "%.2f KB", static_cast<double>(bytes) / 1024);
    else std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    return text;
}

// Reads and checks a map file: 1 when it exists (parsed into `map`), 0 when
// it does not, -1 with a reason.
int LoadMap(const std::string& path, uint64_t size, CRescueMap& map, std::string& reason) {
    std::string text;
    int err = 0;
    if (ReadSmallFile(path, text, kMaxMapBytes, &err) != 0) {
        if (err == ENOENT) return 0;
        reason = "cannot read the map file " + path + ": " + Platform().ErrorText(err);
        return -1;
    }
    std::string why;
    if (map.Parse(text, why) != 0) {
        reason = "the map file " + path + " is not a map of a copy (" + why + ")";
        return -1;
    }
    if (map.Extent() == 0) {  // an empty map: nothing done yet
        map.Reset(size);
        return 1;
    }
    if (map.Extent() > size) {
        MapBlock b;
        for (char s : {MAP_FINISHED, MAP_NON_TRIMMED, MAP_NON_SCRAPED, MAP_BAD_SECTOR}) {
            if (map.FindFrom(size, s, b)) {
                reason = "the map file " + path + " is of a larger drive (" + SizeText(map.Extent()) +
                         ") than this one (" + SizeText(size) + ")";
                return -1;
            }
        }
    }
    map.Resize(size);
    return 1;
}

}  // namespace

const char* ImagingPhaseName(char phase) {
    switch (phase) {
    case MAP_NON_TRIED: return "Copying";
    case MAP_NON_TRIMMED: return "Trimming";
    case MAP_NON_SCRAPED: return "Scraping";
    case MAP_BAD_SECTOR: return "Retrying";
    case MAP_FINISHED: return "Finished";
    default: return "Copying";
    }
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

CDiskImager::CDiskImager(IDeviceHandle* source, uint64_t sourceOffset, uint64_t size, ImagingOptions options)
    : m_source(source), m_offset(sourceOffset), m_size(std::min(size, CRescueMap::kMaxPosition)),
      m_options(std::move(options)) {
    if (m_options.clusterBytes < kSector || m_options.clusterBytes % kSector != 0) m_options.clusterBytes = 64 * 1024;
    if (m_options.skipInitial < kSector) m_options.skipInitial = kSector;
    if (m_options.skipMax == 0)
        m_options.skipMax = std::min<uint64_t>(std::max<uint64_t>(m_size / 100, m_options.skipInitial), 1ULL << 30);
    m_options.skipMax = std::max(m_options.skipMax, m_options.skipInitial);
    if (m_options.retryPasses < 0) m_options.retryPasses = 0;
}

double CDiskImager::Now() const {
    if (m_options.clock) return m_options.clock();
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int CDiskImager::Run(const std::string& imagePath, const std::string& mapPath, IImagingObserver* observer) {
    m_error.clear();
    if (!m_source || m_size == 0 || imagePath.empty() || mapPath.empty() || imagePath == mapPath) {
        m_error = "nothing to copy, or no image and map file to copy to";
        return IMAGING_FAILED;
    }
    if (m_offset > CRescueMap::kMaxPosition - m_size) {
        m_error = "the source lies past the largest position a map can hold";
        return IMAGING_FAILED;
    }
    m_observer = observer;
    m_imagePath = imagePath;
    m_mapPath = mapPath;
    m_startTime = LocalTimeText();

    const int loaded = LoadMap(mapPath, m_size, m_map, m_error);
    if (loaded < 0) {
        LOG_E("%s\n", m_error.c_str());
        return IMAGING_BAD_MAP;
    }
    if (loaded == 0) m_map.Reset(m_size);
    // Filling and generating are ddrescue's own modes: copy what is left.
    if (m_map.currentStatus == MAP_PHASE_FILLING || m_map.currentStatus == MAP_PHASE_GENERATING) {
        m_map.currentStatus = MAP_NON_TRIED;
        m_map.currentPass = 1;
        m_map.currentPos = 0;
    }
    LOG_T("imaging %llu bytes at byte %llu into %s, map %s (%s)\n", static_cast<unsigned long long>(m_size),
          static_cast<unsigned long long>(m_offset), imagePath.c_str(), mapPath.c_str(),
          loaded ? "resumed" : "new");

    int err = 0;
    m_image = OpenImageOutput(imagePath, m_size, &err);
    if (!m_image) {
        m_error = "cannot open the image file " + imagePath + ": " + Platform().ErrorText(err);
        LOG_E("%s\n", m_error.c_str());
        return IMAGING_OPEN_FAILED;
    }
    m_buffer.reset(new (std::nothrow) uint8_t[m_options.clusterBytes]);
    if (!m_buffer) {
        m_error = "out of memory";
        return IMAGING_FAILED;
    }

    m_start = m_lastSave = m_lastGood = m_rateTime = Now();
    m_lastTell = m_start - m_options.progressIntervalSeconds;
    m_progress = ImagingProgress{};
    m_progress.size = m_size;
    m_rescuedAtStart = m_rateBytes = m_map.Bytes(MAP_FINISHED);
    // The map exists from the start, so that even a copy cut short at once
    // can be resumed, and a map that cannot be written stops us before any
    // reading.
    if (int rc = SaveMap(); rc != 0) return rc;

    const bool firstPass = m_map.currentStatus == MAP_NON_TRIED && m_map.currentPass == 1;
    const uint64_t from = m_map.currentStatus == MAP_NON_TRIED ? m_map.currentPos : 0;
    int rc = 0;
    if (firstPass) rc = CopyingPass(1, from, true);
    if (rc == 0) rc = CopyingPass(2, 0, false);
    if (rc == 0) rc = Trimming();
    if (rc == 0) rc = Scraping();
    if (rc == 0 && m_options.retryPasses > 0) rc = Retrying(1);
    // A stop that comes when every byte has been read (or tried as often as
    // asked) cuts nothing short: the copy is whole and is reported so.
    const uint64_t unread = m_map.Bytes(MAP_NON_TRIED) + m_map.Bytes(MAP_NON_TRIMMED) + m_map.Bytes(MAP_NON_SCRAPED);
    const bool nothingLeft = unread == 0 && (m_options.retryPasses == 0 || m_map.Bytes(MAP_BAD_SECTOR) == 0);
    if (rc == IMAGING_STOPPED && nothingLeft) rc = 0;
    if (rc == 0) {
        m_map.currentStatus = MAP_FINISHED;
        m_map.currentPass = 1;
    }
    return Finish(rc);
}

CDiskImager::ReadOutcome CDiskImager::Copy(uint64_t pos, uint64_t len, uint64_t& got, double& seconds) {
    got = 0;
    const double t0 = Now();
    int err = 0;
    const int64_t n = m_source->ReadAt(m_offset + pos, m_buffer.get(), static_cast<size_t>(len), &err);
    seconds = Now() - t0;
    if (n < 0) {
        m_lastErr = err;
        ++m_progress.readErrors;
        if (DeviceGone(err)) {
            m_error = "the drive stopped answering (" + Platform().ErrorText(err) + "): it was removed or has failed";
            return READ_GONE;
        }
        return READ_FAILED;
    }
    if (n == 0) {
        // The source ends before its size: it was removed or has shrunk.
        m_error = "the drive ends at byte " + std::to_string(pos) + ", before its size: it was removed or has failed";
        return READ_GONE;
    }
    const uint64_t read = std::min<uint64_t>(static_cast<uint64_t>(n), len);
    // Of a short read only whole sectors count, unless it reached the end.
    got = (read < len && pos + read < m_size) ? read / kSector * kSector : read;
    if (got > 0) {
        int werr = 0;
        // Parts of the image not yet finished hold zeros or what an earlier
        // run read there, never anything else: zeros need not be written.
        if (!AllZero(m_buffer.get(), got) &&
            m_image->WriteAt(pos, m_buffer.get(), static_cast<size_t>(got), &werr) < 0) {
            m_error = "cannot write the image file " + m_imagePath + ": " + Platform().ErrorText(werr);
            LOG_E("%s\n", m_error.c_str());
            got = 0;
            return WRITE_FAILED;
        }
        m_map.Mark(pos, got, MAP_FINISHED);
        m_lastGood = Now();
    }
    if (got < len) {
        if (n >= 0 && read < len) ++m_progress.readErrors;
        return READ_FAILED;
    }
    return READ_OK;
}

CDiskImager::ReadOutcome CDiskImager::CopySector(uint64_t pos, char failStatus) {
    const uint64_t end = std::min(m_size, (pos / kSector + 1) * kSector);
    uint64_t got = 0;
    double seconds = 0;
    m_map.currentPos = pos;
    const ReadOutcome r = Copy(pos, end - pos, got, seconds);
    if (r == READ_FAILED) m_map.Mark(pos + got, end - pos - got, failStatus);
    return r;
}

int CDiskImager::Outcome(ReadOutcome r) {
    switch (r) {
    case READ_GONE: LOG_E("%s\n", m_error.c_str()); return IMAGING_SOURCE_GONE;
    case WRITE_FAILED: return IMAGING_WRITE_FAILED;
    default: return 0;
    }
}

int CDiskImager::CopyingPass(int pass, uint64_t from, bool skipping) {
    m_map.currentStatus = MAP_NON_TRIED;
    m_map.currentPass = pass;
    if (int rc = Tick(true); rc != 0) return rc;
    const uint64_t cluster = m_options.clusterBytes;
    uint64_t skip = m_options.skipInitial;
    uint64_t pos = from;
    MapBlock b;
    while (m_map.FindFrom(pos, MAP_NON_TRIED, b)) {
        const uint64_t start = b.pos;
        // Large reads end on cluster boundaries, so that they line up in
        // every pass.
        const uint64_t end = std::min(b.pos + b.size, (start / cluster + 1) * cluster);
        m_map.currentPos = start;
        uint64_t got = 0;
        double seconds = 0;
        const ReadOutcome r = Copy(start, end - start, got, seconds);
        if (r == READ_GONE || r == WRITE_FAILED) return Outcome(r);
        bool skipNow = false;
        if (r == READ_FAILED) {
            m_map.Mark(start + got, end - start - got, MAP_NON_TRIMMED);
            skipNow = skipping;
        } else if (skipping && seconds > m_options.slowReadSeconds) {
            // A slow area is often a failing one: come back to it later.
            skipNow = true;
        }
        if (skipNow) {
            pos = end > CRescueMap::kMaxPosition - skip ? CRescueMap::kMaxPosition : end + skip;
            skip = std::min(skip * 2, m_options.skipMax);
        } else {
            pos = end;
            if (r == READ_OK) skip = m_options.skipInitial;
        }
        if (int rc = Tick(); rc != 0) return rc;
    }
    return 0;
}

int CDiskImager::Trimming() {
    m_map.currentStatus = MAP_NON_TRIMMED;
    m_map.currentPass = 1;
    if (int rc = Tick(true); rc != 0) return rc;
    uint64_t pos = 0;
    MapBlock b;
    while (m_map.FindFrom(pos, MAP_NON_TRIMMED, b)) {
        uint64_t lo = b.pos, hi = b.pos + b.size;
        // An edge next to a bad sector is trimmed already.
        if (lo == 0 || m_map.StatusAt(lo - 1) != MAP_BAD_SECTOR) {
            while (lo < hi) {
                const uint64_t end = std::min(hi, (lo / kSector + 1) * kSector);
                const uint64_t at = lo;
                const ReadOutcome r = CopySector(at, MAP_BAD_SECTOR);
                if (r == READ_GONE || r == WRITE_FAILED) return Outcome(r);
                lo = end;
                if (int rc = Tick(); rc != 0) return rc;
                if (r == READ_FAILED) break;
            }
        }
        if (lo < hi && (hi >= m_size || m_map.StatusAt(hi) != MAP_BAD_SECTOR)) {
            while (hi > lo) {
                const uint64_t start = std::max(lo, (hi - 1) / kSector * kSector);
                const ReadOutcome r = CopySector(start, MAP_BAD_SECTOR);
                if (r == READ_GONE || r == WRITE_FAILED) return Outcome(r);
                hi = start;
                if (int rc = Tick(); rc != 0) return rc;
                if (r == READ_FAILED) break;
            }
        }
        if (lo < hi) m_map.Mark(lo, hi - lo, MAP_NON_SCRAPED);
        pos = b.pos + b.size;
    }
    return 0;
}

int CDiskImager::Scraping() {
    m_map.currentStatus = MAP_NON_SCRAPED;
    m_map.currentPass = 1;
    if (int rc = Tick(true); rc != 0) return rc;
    uint64_t pos = 0;
    MapBlock b;
    while (m_map.FindFrom(pos, MAP_NON_SCRAPED, b)) {
        const uint64_t end = b.pos + b.size;
        for (uint64_t p = b.pos; p < end; p = (p / kSector + 1) * kSector) {
            const ReadOutcome r = CopySector(p, MAP_BAD_SECTOR);
            if (r == READ_GONE || r == WRITE_FAILED) return Outcome(r);
            if (int rc = Tick(); rc != 0) return rc;
        }
        pos = end;
    }
    return 0;
}

int CDiskImager::Retrying(int firstPass) {
    for (int pass = firstPass; pass <= m_options.retryPasses; ++pass) {
        m_map.currentStatus = MAP_BAD_SECTOR;
        m_map.currentPass = pass;
        if (int rc = Tick(true); rc != 0) return rc;
        MapBlock b;
        if (pass % 2 == 1) {  // forwards
            uint64_t pos = 0;
            while (m_map.FindFrom(pos, MAP_BAD_SECTOR, b)) {
                const uint64_t end = b.pos + b.size;
                for (uint64_t p = b.pos; p < end; p = (p / kSector + 1) * kSector) {
                    const ReadOutcome r = CopySector(p, MAP_BAD_SECTOR);
                    if (r == READ_GONE || r == WRITE_FAILED) return Outcome(r);
                    if (int rc = Tick(); rc != 0) return rc;
                }
                pos = end;
            }
        } else {  // backwards
            uint64_t end = m_size;
            while (m_map.FindBefore(end, MAP_BAD_SECTOR, b)) {
                for (uint64_t p = b.pos + b.size; p > b.pos;) {
                    const uint64_t start = std::max(b.pos, (p - 1) / kSector * kSector);
                    const ReadOutcome r = CopySector(start, MAP_BAD_SECTOR);
                    if (r == READ_GONE || r == WRITE_FAILED) return Outcome(r);
                    if (int rc = Tick(); rc != 0) return rc;
                    p = start;
                }
                end = b.pos;
            }
        }
    }
    return 0;
}

int CDiskImager::SaveMap() {
    // The image's bytes reach the disk before a map that says they are there.
    int err = 0;
    if (m_image && m_image->Sync(&err) != 0) {
        m_error = "cannot write the image file " + m_imagePath + ": " + Platform().ErrorText(err);
        LOG_E("%s\n", m_error.c_str());
        return IMAGING_WRITE_FAILED;
    }
    std::string header = "Mapfile. Created by Lumivista\n";
    header += "Command line: " + m_options.commandLine + "\n";
    header += "Start time:   " + m_startTime + "\n";
    header += "Current time: " + LocalTimeText() + "\n";
    header += CRescueMap::PhaseText(m_map.currentStatus);
    if (m_map.currentStatus != MAP_FINISHED)
        header += " Pass " + std::to_string(m_map.currentPass) +
                  (m_map.currentStatus == MAP_BAD_SECTOR && m_map.currentPass % 2 == 0 ? " (backwards)"
                                                                                       : " (forwards)");
    if (ReplaceFileContents(m_mapPath, m_map.Format(header), &err) != 0) {
        m_error = "cannot save the map file " + m_mapPath + ": " + Platform().ErrorText(err);
        LOG_E("%s\n", m_error.c_str());
        return IMAGING_MAP_FAILED;
    }
    m_lastSave = Now();
    return 0;
}

void CDiskImager::Refresh() {
    const double now = Now();
    ImagingProgress& p = m_progress;
    p.phase = m_map.currentStatus;
    p.pass = m_map.currentPass;
    p.pos = m_map.currentPos;
    p.size = m_size;
    p.rescued = m_map.Bytes(MAP_FINISHED);
    p.nonTried = m_map.Bytes(MAP_NON_TRIED);
    p.nonTrimmed = m_map.Bytes(MAP_NON_TRIMMED);
    p.nonScraped = m_map.Bytes(MAP_NON_SCRAPED);
    p.badSectors = m_map.Bytes(MAP_BAD_SECTOR);
    p.badBytes = p.nonTrimmed + p.nonScraped + p.badSectors;
    p.badAreas = m_map.FailedAreas();
    p.elapsed = std::max(0.0, now - m_start);
    p.sinceGoodRead = std::max(0.0, now - m_lastGood);
    const uint64_t gained = p.rescued - std::min(p.rescued, m_rescuedAtStart);
    p.averageRate = p.elapsed > 0 ? static_cast<double>(gained) / p.elapsed : 0;
    if (now - m_rateTime >= 1.0) {
        p.rate = static_cast<double>(p.rescued - std::min(p.rescued, m_rateBytes)) / (now - m_rateTime);
        m_rateTime = now;
        m_rateBytes = p.rescued;
    }
}

int CDiskImager::Tick(bool force) {
    const double now = Now();
    if (now - m_lastSave >= m_options.mapIntervalSeconds) {
        if (int rc = SaveMap(); rc != 0) return rc;
    }
    if (!force && now - m_lastTell < m_options.progressIntervalSeconds) return 0;
    m_lastTell = now;
    Refresh();
    if (m_observer && m_observer->OnProgress(m_progress) < 0) {
        LOG_T("imaging stopped at byte %llu\n", static_cast<unsigned long long>(m_map.currentPos));
        return IMAGING_STOPPED;
    }
    return 0;
}

int CDiskImager::Finish(int result) {
    if (result == IMAGING_STOPPED && m_error.empty()) m_error = "stopped";
    // Whatever ended the copy, the map keeps what was done.
    const int saved = SaveMap();
    Refresh();
    if (m_observer) m_observer->OnProgress(m_progress);
    m_image.reset();
    if (result == 0 && saved != 0) return saved;
    LOG_T("imaging ended (%d): %llu bytes rescued, %llu bad areas (%llu bytes)\n", result,
          static_cast<unsigned long long>(m_progress.rescued), static_cast<unsigned long long>(m_progress.badAreas),
          static_cast<unsigned long long>(m_progress.badBytes));
    return result;
}

int PlanImaging(const std::string& sourcePath, uint64_t size, const std::string& imagePath,
                const std::string& mapPath, ImagingPlan& plan, std::string& reason) {
    plan = ImagingPlan{};
    if (imagePath.empty() || mapPath.empty()) {
        reason = "no image file given";
        return -1;
    }
    if (imagePath == mapPath || IsSameFile(imagePath, mapPath)) {
        reason = "the map file must not be the image file";
        return -1;
    }
    for (const std::string& path : {imagePath, mapPath}) {
        const std::string folder = FolderOf(path);
        if (!Platform().PathExists(folder)) {
            reason = "no such folder: " + folder;
            return -1;
        }
        if (path == sourcePath || IsSameFile(path, sourcePath)) {
            reason = path + " is the drive being imaged";
            return -1;
        }
    }
    uint64_t imageBytes = 0;
    int err = 0;
    const bool imageExists = FileSize(imagePath, imageBytes, &err) == 0;
    CRescueMap map;
    const int loaded = LoadMap(mapPath, size, map, reason);
    if (loaded < 0) return -1;
    if (loaded > 0) plan.rescued = map.Bytes(MAP_FINISHED);
    if (imageExists && loaded == 0) {
        reason = imagePath + " exists and there is no map " + mapPath +
                 " to resume from: choose another name, or remove it first";
        return -1;
    }
    if (!imageExists && plan.rescued > 0) {
        reason = "the map " + mapPath + " says " + SizeText(plan.rescued) + " were copied into " + imagePath +
                 ", which is missing";
        return -1;
    }
    plan.resume = loaded > 0;
    plan.neededBytes = size - std::min(size, plan.rescued);
    const std::string folder = FolderOf(imagePath);
    if (Platform().GetFreeBytes(folder, plan.freeBytes, &err) != 0) {
        reason = "cannot tell the free space in " + folder + ": " + Platform().ErrorText(err);
        return -1;
    }
    if (plan.freeBytes < plan.neededBytes) {
        reason = "not enough room in " + folder + " for the image (only " + SizeText(plan.freeBytes) +
                 " available, " + SizeText(plan.neededBytes) + " needed)";
        return -1;
    }
    return 0;
}
