// Copying a failing drive to an image file the way data-recovery people do:
// the good areas first in large reads, skipping ahead past errors; then the
// edges of the failed areas sector by sector (trimming); then the rest of them
// sector by sector (scraping); then, when asked, more tries of the sectors
// that still failed. A map in GNU ddrescue's format records what was read, so
// that the copy can be stopped and resumed (by this program or by ddrescue),
// and is saved every few seconds. The source is only ever read; what could
// not be read stays zero in the image.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "io/platform/image_file.h"
#include "io/platform/platform.h"
#include "io/rescuemap.h"

// Results of CDiskImager::Run.
enum ImagingResult : int {
    IMAGING_DONE = 0,            // every phase ran; the map tells what stayed unreadable
    IMAGING_FAILED = -1,         // bad arguments
    IMAGING_STOPPED = -2,        // the observer asked to stop; the map is saved
    IMAGING_SOURCE_GONE = -3,    // the drive disappeared; the map is saved
    IMAGING_WRITE_FAILED = -4,   // the image could not be written (disk full...); the map is saved
    IMAGING_MAP_FAILED = -5,     // the map could not be saved
    IMAGING_BAD_MAP = -6,        // the map cannot be read or belongs to another copy
    IMAGING_OPEN_FAILED = -7,    // the image file cannot be opened or made
};

struct ImagingOptions {
    uint32_t clusterBytes = 64 * 1024;  // size of the large reads (a multiple of 512)
    uint64_t skipInitial = 64 * 1024;   // the first skip after an error, in bytes
    uint64_t skipMax = 0;               // 0: a hundredth of the source, within skipInitial..1 GiB
    int retryPasses = 0;                // passes over the bad sectors after scraping
    double slowReadSeconds = 2.0;       // a large read slower than this is skipped past like an error
    double mapIntervalSeconds = 5.0;    // how often the map is saved
    double progressIntervalSeconds = 0.25;
    // Seconds from any fixed point, for rates and intervals; a steady clock
    // when empty.
    std::function<double()> clock;
    // Written into the map's heading.
    std::string commandLine;
};

// A snapshot of the copy, for the front ends.
struct ImagingProgress {
    char phase = MAP_NON_TRIED;  // as the map's status line: '?' copying, '*' trimming, '/' scraping,
                                 // '-' retrying, '+' finished
    int pass = 1;
    uint64_t pos = 0;            // bytes from the start of the source being read
    uint64_t size = 0;           // bytes of the source
    uint64_t rescued = 0;        // bytes copied (in this and earlier runs)
    uint64_t nonTried = 0;
    uint64_t nonTrimmed = 0;
    uint64_t nonScraped = 0;
    uint64_t badSectors = 0;     // bytes read alone that failed
    uint64_t badAreas = 0;       // runs of failed blocks
    uint64_t badBytes = 0;       // nonTrimmed + nonScraped + badSectors
    uint64_t readErrors = 0;     // failed reads in this run
    double rate = 0;             // bytes per second over the last seconds
    double averageRate = 0;      // bytes per second since this run began
    double sinceGoodRead = 0;    // seconds since the last read that succeeded
    double elapsed = 0;          // seconds since this run began
};

class IImagingObserver {
public:
    virtual ~IImagingObserver() = default;
    // Called on the imaging thread every progressIntervalSeconds, when the
    // phase changes and at the end. A negative answer stops the copy (the
    // map is saved first).
    virtual int OnProgress(const ImagingProgress& progress) = 0;
};

// The words for a phase: "Copying", "Trimming", "Scraping", "Retrying", "Finished".
const char* ImagingPhaseName(char phase);

class CDiskImager {
public:
    // Copies `size` bytes of `source` (not owned; only read) starting at byte
    // `sourceOffset` (a partition's first byte on its disk, or 0).
    CDiskImager(IDeviceHandle* source, uint64_t sourceOffset, uint64_t size, ImagingOptions options = {});

    // Copies into the image at `imagePath`, keeping the map at `mapPath`.
    // When the map exists the copy resumes from it (it must be of a source
    // of this size). One of ImagingResult; ErrorText tells why for a
    // negative one.
    int Run(const std::string& imagePath, const std::string& mapPath, IImagingObserver* observer);

    const CRescueMap& Map() const { return m_map; }
    const ImagingProgress& Progress() const { return m_progress; }
    const std::string& ErrorText() const { return m_error; }

private:
    enum ReadOutcome { READ_OK, READ_FAILED, READ_GONE, WRITE_FAILED };

    // Reads [pos, pos + len) of the source and writes the bytes read into the
    // image. `got` gets the bytes read well from pos (a multiple of 512, or
    // up to the end); the rest is failed.
    ReadOutcome Copy(uint64_t pos, uint64_t len, uint64_t& got, double& seconds);
    // One sector (or the short last one) at `pos`: read, written, marked.
    ReadOutcome CopySector(uint64_t pos, char failStatus);

    int CopyingPass(int pass, uint64_t from, bool skipping);
    int Trimming();
    int Scraping();
    int Retrying(int firstPass);

    // Saves the map now: 0, or IMAGING_MAP_FAILED.
    int SaveMap();
    // Between reads: saves the map when due, tells the observer when due.
    // 0 to go on, or the result to stop with.
    int Tick(bool force = false);
    // Ends the run with `result` after saving the map.
    int Finish(int result);
    void Refresh();
    double Now() const;
    int Outcome(ReadOutcome r);

    IDeviceHandle* m_source;
    uint64_t m_offset;
    uint64_t m_size;
    ImagingOptions m_options;
    CRescueMap m_map;
    ImagingProgress m_progress;
    std::unique_ptr<IImageOutput> m_image;
    std::unique_ptr<uint8_t[]> m_buffer;
    std::string m_mapPath;
    std::string m_imagePath;
    std::string m_error;
    std::string m_startTime;
    IImagingObserver* m_observer = nullptr;
    double m_start = 0;
    double m_lastSave = 0;
    double m_lastTell = 0;
    double m_lastGood = 0;
    double m_rateTime = 0;
    uint64_t m_rateBytes = 0;
    uint64_t m_rescuedAtStart = 0;
    int m_lastErr = 0;
};

// What a copy into `imagePath` with its map at `mapPath` would do.
struct ImagingPlan {
    bool resume = false;        // the map exists: the copy goes on from it
    uint64_t rescued = 0;       // bytes the map says are copied already
    uint64_t neededBytes = 0;   // room the image may still take
    uint64_t freeBytes = 0;     // room on the destination
};

// Checks a destination before anything is written to it: the image and map
// must be two different files other than the source `sourcePath`, in a
// folder that exists; an existing image needs its map (else it would be
// overwritten), a map needs its image unless nothing was copied yet, the map
// must be of a source of `size` bytes; and the destination must have room for
// the rest of the image. (Whether the folder lies on the source drive is the
// front end's check: it knows the drive's devices.) 0 and the plan, or -1
// with a reason for the user.
int PlanImaging(const std::string& sourcePath, uint64_t size, const std::string& imagePath,
                const std::string& mapPath, ImagingPlan& plan, std::string& reason);

// The folder part of a path ("." for a bare name).
std::string FolderOf(const std::string& path);
