#include "cli/cli.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "cli/console_sink.h"
#include "cli/drives.h"
#include "cli/drivetext.h"
#include "cli/image_progress.h"
#include "cli/json.h"
#include "cli/options.h"
#include "cli/sessions.h"
#include "io/log.h"
#include "io/platform/frontend_checks.h"
#include "io/platform/platform.h"
#include "taskmgr/diskimaging.h"
#include "taskmgr/recoverfiles.h"
#include "taskmgr/scansession.h"
#include "taskmgr/taskmgr.h"

namespace {

std::atomic<bool> g_stop{false};

extern "C" void OnInterrupt(int) {
    g_stop.store(true);
    // A second Ctrl-C ends the program at once.
    std::signal(SIGINT, SIG_DFL);
}

// Ctrl-C from here on stops the scan when it comes, even before the scan
// has started (while the drives are listed or the session is made).
void CatchInterrupts() {
    g_stop.store(false);
    std::signal(SIGINT, OnInterrupt);
}

int Fail(const std::string& reason) {
    std::fprintf(stderr, "lumivista-cli: %s\n", reason.c_str());
    return kExitFailure;
}

const char* CategoryWord(int c) {
    static const char* const words[] = {"jpg", "png", "bmp", "gif", "raw", "heic", "tiff", "webp", "other"};
    return (c >= 0 && c < kPhotoCategoryCount) ? words[c] : "other";
}

const char* CategoryTitle(int c) {
    static const char* const titles[] = {"JPG", "PNG", "BMP", "GIF", "RAW", "HEIC", "TIFF", "WebP", "Other"};
    return (c >= 0 && c < kPhotoCategoryCount) ? titles[c] : "Other";
}

const char* OriginWord(PhotoOrigin origin) {
    switch (origin) {
    case RawScan: return "raw";
    case DeletedRecord: return "deleted";
    default: return "filesystem";
    }
}

// The photo's modification time: "2024-05-01T12:34:56Z" (UTC) for JSON, or
// "2024-05-01 14:34:56" in local time for people; empty when unknown.
std::string TimeText(const PhotoItem& item, bool utc) {
    if (item.mtime == 0 && item.mtimeNsec == 0) return {};
    const std::time_t t = static_cast<std::time_t>(item.mtime);
    std::tm tm{};
    if (!(utc ? gmtime_r(&t, &tm) : localtime_r(&t, &tm))) return {};
    char text[64];
    if (std::strftime(text, sizeof text, utc ? "%Y-%m-%dT%H:%M:%SZ" : "%Y-%m-%d %H:%M:%S", &tm) == 0) return {};
    return text;
}

// `text` (UTF-8) followed by blanks up to `width` characters: printf's
// widths count bytes, which would misalign names outside ASCII.
std::string PadRight(const std::string& text, size_t width) {
    size_t chars = 0;
    for (unsigned char c : text) chars += (c & 0xC0) != 0x80;
    return chars >= width ? text : text + std::string(width - chars, ' ');
}

bool IsAccessError(int err) { return err == EACCES || err == EPERM; }

// The machine's disks that the disk list lacks because they could not be
// opened for want of rights.
std::vector<std::string> DisksDeniedToUs(ITaskMgr* taskMgr) {
    std::vector<std::string> denied;
    if (!IncludeMachineDisks()) return denied;
    std::vector<PlatformDiskInfo> disks;
    Platform().EnumDisks(disks);
    for (const PlatformDiskInfo& info : disks) {
        bool listed = false;
        for (int i = 0; i < taskMgr->GetDiskCount() && !listed; ++i) {
            CDisk* d = taskMgr->GetDiskByIndex(static_cast<uint32_t>(i));
            listed = d && d->GetDevicePath() == info.DeviceID;
        }
        if (listed) continue;
        int err = 0;
        DevHandle h = Platform().Open(info.DeviceID, true, &err);
        if (!h && IsAccessError(err)) denied.push_back(info.DeviceID);
    }
    return denied;
}

std::string RootNeeded(const std::vector<std::string>& denied) {
    std::string list;
    for (const auto& d : denied) {
        // Root was refused all the same: the system's own reason is the one
        // that helps (a container without the device, a locked disk).
        std::string reason = "permission denied";
        if (HasDiskRights()) {
            int err = 0;
            if (!Platform().Open(d, true, &err)) reason = ErrorReason(err);
        }
        list += (list.empty() ? "" : ", ") + d + " (" + reason + ")";
    }
    if (HasDiskRights()) return "cannot open " + list;
    return "cannot open " + list + "; reading the machine's disks needs root (try sudo)";
}

// Sets the disk sources: exactly the images when any are given. The images
// that cannot be disks are left out, each with its reason in `refused`.
void UseImages(const std::vector<std::string>& images, std::vector<std::string>& refused) {
    std::vector<std::string> usable;
    for (const std::string& path : images) {
        std::string reason;
        if (CheckImageFile(path, reason) != 0)
            refused.push_back("cannot open " + path + ": " + reason);
        else
            usable.push_back(path);
    }
    if (!images.empty()) SetDiskSources(false, usable);
}

const char* StateWord(const PhotoItem& item) { return IsDeletedPhoto(item) ? "deleted" : "on drive"; }

int Drives(const CliOptions& opts, ITaskMgr* taskMgr, const std::vector<std::string>& refusedImages) {
    const std::vector<DriveRow> rows = ListDrives(taskMgr, opts.flashOnly);
    const std::vector<std::string> denied = DisksDeniedToUs(taskMgr);
    if (opts.json) {
        std::printf("[");
        for (const DriveRow& r : rows) {
            std::printf("%s\n  {\"row\": %d, \"device\": %s, \"drive\": %s, \"capacity\": %s, \"information\": %s, "
                        "\"disk\": %d, \"partno\": %d, \"fs\": %d, \"fs_name\": %s, \"offset\": %llu, "
                        "\"sectors\": %llu}",
                        r.row == 1 ? "" : ",", r.row, JsonString(r.device).c_str(), JsonString(r.drive).c_str(),
                        JsonString(r.capacity).c_str(), JsonString(r.information).c_str(), r.disk->GetDiskNo(),
                        r.infor.PartNo, r.infor.Fs, JsonString(GetFsTypeName(r.infor.Fs)).c_str(),
                        static_cast<unsigned long long>(r.infor.Off), static_cast<unsigned long long>(r.infor.Len));
        }
        std::printf("%s]\n", rows.empty() ? "" : "\n");
    } else if (!rows.empty()) {
        size_t wDrive = 5, wCap = 8;
        for (const DriveRow& r : rows) {
            wDrive = std::max(wDrive, r.drive.size());
            wCap = std::max(wCap, r.capacity.size());
        }
        std::printf("%3s  %-*s  %-*s  %s\n", "#", static_cast<int>(wDrive), "Drive", static_cast<int>(wCap),
                    "Capacity", "Information");
        for (const DriveRow& r : rows)
            std::printf("%3d  %-*s  %-*s  %s\n", r.row, static_cast<int>(wDrive), r.drive.c_str(),
                        static_cast<int>(wCap), r.capacity.c_str(), r.information.c_str());
    }
    std::fflush(stdout);
    // Images named on the command line that could not be read: the others
    // are listed, these reported, and the run counts as failed.
    for (const std::string& refusal : refusedImages) Fail(refusal);
    if (!denied.empty()) {
        const int rc = Fail(RootNeeded(denied));
        return rows.empty() || !refusedImages.empty() ? rc : kExitOk;
    }
    if (!refusedImages.empty()) return kExitFailure;
    if (rows.empty()) return Fail(opts.flashOnly ? "no flash drives found" : "no drives found");
    return kExitOk;
}

// The chosen row, or null after telling why not.
const DriveRow* ChooseRow(const CliOptions& opts, ITaskMgr* taskMgr, const std::vector<DriveRow>& rows) {
    if (opts.drive >= 1 && static_cast<size_t>(opts.drive) <= rows.size()) return &rows[opts.drive - 1];
    const std::vector<std::string> denied = DisksDeniedToUs(taskMgr);
    if (!denied.empty()) {
        Fail(RootNeeded(denied));
    } else if (rows.empty()) {
        Fail("no drives found");
    } else {
        Fail("there is no drive " + std::to_string(opts.drive) + ": the drive list has " +
             std::to_string(rows.size()) + " row" + (rows.size() == 1 ? "" : "s") + " (see lumivista-cli drives)");
    }
    return nullptr;
}

// Runs the scan with the console sink, saved in `session` when there is one;
// the found photos stay in the task manager. Returns the scan's result;
// `stopped` tells a Ctrl-C.
int Scan(const DriveRow& row, ITaskMgr* taskMgr, bool& stopped, CScanSession* session = nullptr) {
    const bool live = StandardErrorIsTerminal();
    if (live && session && session->Info().state != SessionState::Walking)
        std::fprintf(stderr, "Going on with the scan of %s saved in %s (%s, %lld photos so far) ...\n",
                     row.drive.c_str(), session->Path().c_str(), SessionStateText(session->Info()).c_str(),
                     static_cast<long long>(session->Info().photos));
    else if (live)
        std::fprintf(stderr, "Scanning %s ...\n", row.drive.c_str());
    CConsoleSink sink(live, stderr, &g_stop);
    // The command caught Ctrl-C from its start; after a first one, a second ends the program.
    if (!g_stop.load()) std::signal(SIGINT, OnInterrupt);
    int result = 0;
    if (session) {
        // Tests ask for saves more often than every few seconds.
        if (const char* ms = std::getenv("LUMIVISTA_SESSION_SAVE_MS"))
            session->SetSaveInterval(std::chrono::milliseconds(std::atoi(ms)));
        result = taskMgr->RecoverPhotosWithSession(row.partition, &sink, session);
    } else {
        result = taskMgr->RecoverPhotos(row.partition, &sink);
    }
    std::signal(SIGINT, SIG_DFL);
    sink.Finish();
    stopped = g_stop.load();
    if (session && !session->WriteError().empty()) Fail(session->WriteError());
    return result;
}

// The block device a row's partition is reached through, and whether the
// row stands for a whole disk (so that every partition of it counts).
std::string RowDevice(const DriveRow& row, bool& wholeDisk);

// Refuses a file that would be written on the drive being rescued.
bool OnTheScannedDrive(const std::string& path, const DriveRow& row, const std::string& what) {
    bool wholeDisk = false;
    const std::string device = RowDevice(row, wholeDisk);
    const int same = PathIsOnDevice(FolderOf(path), device, wholeDisk);
    if (same < 0) {
        Fail("cannot examine " + FolderOf(path));
        return true;
    }
    if (same > 0) {
        Fail(path + " is on the drive being scanned (" + row.drive + "); writing " + what +
             " there would overwrite the photos being rescued: choose a file on another drive");
        return true;
    }
    return false;
}

// --session FILE: opens the saved scan and finds its drive among the rows
// (or checks the drive --drive names), or, when the file does not exist and
// `mayStart`, starts a new session for --drive N. 0, or an exit status after
// telling why not.
int UseSession(const CliOptions& opts, ITaskMgr* taskMgr, bool mayStart, std::vector<DriveRow>& rows,
               const DriveRow*& row, std::unique_ptr<CScanSession>& session) {
    std::string error;
    if (!SessionFileExists(opts.session)) {
        if (!mayStart) return Fail("there is no session file " + opts.session);
        if (opts.drive == 0)
            return Fail("the session file " + opts.session + " does not exist yet: give --drive N to start a scan "
                        "saved in it");
        if (!Platform().PathExists(FolderOf(opts.session))) return Fail("no such folder: " + FolderOf(opts.session));
        rows = ListDrives(taskMgr, opts.flashOnly);
        row = ChooseRow(opts, taskMgr, rows);
        if (!row) return kExitFailure;
        if (OnTheScannedDrive(opts.session, *row, "the session")) return kExitFailure;
        SessionIdentity id;
        if (MakeSessionIdentity(row->partition, id) != 0) return Fail("cannot read " + row->drive);
        id.driveText = row->drive;
        session = CScanSession::Create(opts.session, id, PhotoChoice{opts.types, opts.minSize, !opts.namesOnly}, error);
        return session ? kExitOk : Fail(error);
    }
    session = CScanSession::Open(opts.session, error);
    if (!session) return Fail(error);
    const SessionIdentity& saved = session->Info().identity;
    // A session of a disk image brings its image along.
    if (opts.images.empty() && !saved.imagePath.empty() && Platform().PathExists(saved.imagePath)) {
        std::vector<std::string> refused;
        UseImages({saved.imagePath}, refused);
        if (!refused.empty()) return Fail(refused.front());
    }
    rows = ListDrives(taskMgr, opts.flashOnly);
    row = nullptr;
    if (opts.drive != 0) {
        row = ChooseRow(opts, taskMgr, rows);
        if (!row) return kExitFailure;
        SessionIdentity here;
        MakeSessionIdentity(row->partition, here);
        const std::string why = SessionMismatch(saved, here);
        if (!why.empty())
            return Fail("the session " + opts.session + " is of another drive than " + row->drive + ": " + why);
    } else {
        for (const DriveRow& r : rows) {
            SessionIdentity here;
            if (MakeSessionIdentity(r.partition, here) == 0 && SessionMismatch(saved, here).empty()) {
                row = &r;
                break;
            }
        }
        if (!row)
            return Fail("the drive of the session " + opts.session + " is not here (" + SessionDriveText(saved) +
                        "): attach it, or give its image with --image");
    }
    if (mayStart && session->Info().state != SessionState::Finished &&
        OnTheScannedDrive(opts.session, *row, "the session"))
        return kExitFailure;
    return kExitOk;
}

// Calls `fn` with each found photo of the category in store order, asking
// the store a block at a time: a million photos cost no list of their own.
template <typename Fn>
void ForEachPhoto(ITaskMgr* taskMgr, int category, Fn fn) {
    constexpr int kBlock = 512;
    PhotoItem* block[kBlock];
    const int n = taskMgr->GetPhotoItems(category, -1, -1, nullptr);
    for (int first = 0; first < n; first += kBlock) {
        const int got = taskMgr->GetPhotoItems(category, first, kBlock, block);
        if (got <= 0) break;
        for (int i = 0; i < got; ++i) fn(block[i]);
    }
}

int ScanCommand(const CliOptions& opts, ITaskMgr* taskMgr) {
    CatchInterrupts();
    std::vector<DriveRow> rows;
    const DriveRow* row = nullptr;
    std::unique_ptr<CScanSession> session;
    if (!opts.session.empty()) {
        if (UseSession(opts, taskMgr, true, rows, row, session) != kExitOk) return kExitFailure;
    } else {
        rows = ListDrives(taskMgr, opts.flashOnly);
        row = ChooseRow(opts, taskMgr, rows);
        if (!row) return kExitFailure;
    }
    bool stopped = false;
    taskMgr->SetPhotoChoice(PhotoChoice{opts.types, opts.minSize, !opts.namesOnly});
    const int result = Scan(*row, taskMgr, stopped, session.get());
    if (session && result < 0 && !session->LoadError().empty()) return Fail(session->LoadError());

    size_t total = 0;
    if (opts.json) {
        std::printf("{\"result\": %d, \"photos\": [", result);
        bool first = true;
        // Written photo by photo as the store gives them, never held whole.
        for (int c = 0; c < kPhotoCategoryCount; ++c) {
            ForEachPhoto(taskMgr, c, [&](PhotoItem* item) {
                const std::string time = TimeText(*item, true);
                std::printf("%s\n  {\"name\": %s, \"category\": \"%s\", \"size\": %u, \"origin\": \"%s\", "
                            "\"deleted\": %s, \"folder\": %s, \"path\": %s, \"time\": %s, \"runs\": [",
                            first ? "" : ",", JsonString(Utf16ToUtf8(item->name)).c_str(), CategoryWord(c), item->size,
                            OriginWord(item->origin), IsDeletedPhoto(*item) ? "true" : "false",
                            JsonString(Utf16ToUtf8(item->folder)).c_str(), JsonString(PhotoPathText(*item)).c_str(),
                            time.empty() ? "null" : JsonString(time).c_str());
                bool firstRun = true;
                for (const PhotoRun& run : item->runs) {
                    if (run.sectorCount == 0) break;
                    std::printf("%s[%lld, %lld, %lld]", firstRun ? "" : ", ", static_cast<long long>(run.fileSector),
                                static_cast<long long>(run.volumeSector), static_cast<long long>(run.sectorCount));
                    firstRun = false;
                }
                std::printf("]}");
                first = false;
                ++total;
            });
        }
        std::printf("%s]}\n", first ? "" : "\n");
    } else {
        for (int c = 0; c < kPhotoCategoryCount; ++c) {
            const int count = taskMgr->GetPhotoItems(c, -1, -1, nullptr);
            if (count <= 0) continue;
            std::printf("%s (%d)\n", CategoryTitle(c), count);
            ForEachPhoto(taskMgr, c, [&](PhotoItem* item) {
                const long long sector = item->runs.empty() ? -1 : static_cast<long long>(item->runs[0].volumeSector);
                const std::string time = TimeText(*item, false);
                std::printf("  %s %12u bytes  %-8s  sector %-10lld  %-19s  %s\n",
                            PadRight(Utf16ToUtf8(item->name), 24).c_str(), item->size, StateWord(*item), sector,
                            time.empty() ? "-" : time.c_str(),
                            item->origin == RawScan ? "-" : ("/" + Utf16ToUtf8(item->folder)).c_str());
                ++total;
            });
        }
        std::printf("%zu photo%s found on %s.\n", total, total == 1 ? "" : "s", row->drive.c_str());
    }
    std::fflush(stdout);
    if (stopped && session)
        return Fail("scan stopped; it is saved in " + opts.session + ": give the same command again to go on");
    if (stopped) return Fail("scan stopped");
    if (result < 0)
        return Fail("the scan failed (result " + std::to_string(result) + "); see the log " + CurrentLogPath() +
                    (session ? "; what it found is saved in " + opts.session : std::string()));
    return kExitOk;
}

std::string RowDevice(const DriveRow& row, bool& wholeDisk) {
    const std::string kernel = row.partition->GetKernelName();
    if (!kernel.empty() && kernel.find('#') == std::string::npos && Platform().PathExists("/dev/" + kernel)) {
        wholeDisk = false;
        return "/dev/" + kernel;
    }
    // Gaps, whole-disk rows and partitions the system has no node for: the
    // whole disk counts (an image file never matches).
    wholeDisk = true;
    return row.device;
}

int RecoverCommand(const CliOptions& opts, ITaskMgr* taskMgr) {
    std::vector<DriveRow> rows;
    const DriveRow* row = nullptr;
    std::unique_ptr<CScanSession> session;
    if (!opts.session.empty()) {
        if (UseSession(opts, taskMgr, false, rows, row, session) != kExitOk) return kExitFailure;
    } else {
        rows = ListDrives(taskMgr, opts.flashOnly);
        row = ChooseRow(opts, taskMgr, rows);
        if (!row) return kExitFailure;
    }

    if (!Platform().PathExists(opts.out)) return Fail("no such folder: " + opts.out);
    if (std::string reason; CheckFolderWritable(opts.out, reason) != 0)
        return Fail("cannot write into " + opts.out + ": " + reason);
    bool wholeDisk = false;
    const std::string device = RowDevice(*row, wholeDisk);
    const int same = PathIsOnDevice(opts.out, device, wholeDisk);
    if (same < 0) return Fail("cannot examine " + opts.out);
    if (same > 0)
        return Fail(opts.out + " is on the drive being scanned (" + row->drive +
                    "); recovered photos would overwrite the photos being rescued: choose a folder on another drive");

    int result = 0;
    if (session) {
        // The photos of the saved scan, without scanning again.
        std::string error;
        if (taskMgr->LoadSession(session.get(), error) != 0) return Fail(error);
        if (session->Info().state != SessionState::Finished)
            std::fprintf(stderr,
                         "lumivista-cli: the scan saved in %s is not finished (%s): recovering the photos it found "
                         "so far; scan --session %s goes on with it\n",
                         opts.session.c_str(), SessionStateText(session->Info()).c_str(), opts.session.c_str());
    } else {
        bool stopped = false;
        taskMgr->SetPhotoChoice(PhotoChoice{opts.types, opts.minSize, !opts.namesOnly});
        CatchInterrupts();
        result = Scan(*row, taskMgr, stopped);
        if (stopped) return Fail("scan stopped; nothing was recovered");
    }

    std::vector<PhotoItem*> chosen;
    uint64_t bytes = 0;
    for (int c = 0; c < kPhotoCategoryCount; ++c) {
        if (!(opts.types & (1u << c))) continue;
        ForEachPhoto(taskMgr, c, [&](PhotoItem* item) {
            item->selected = 1;
            chosen.push_back(item);
            bytes += item->size;
        });
    }

    std::string folder;
    int written = 0, failed = 0;
    uint64_t writtenBytes = 0;
    if (!chosen.empty()) {
        uint64_t freeBytes = 0;
        int err = 0;
        if (Platform().GetFreeBytes(opts.out, freeBytes, &err) != 0) freeBytes = 0;
        if (freeBytes <= bytes)
            return Fail("not enough free space in " + opts.out + " (only " +
                        FormatSizeText(static_cast<int64_t>(freeBytes)) + " available, " +
                        FormatSizeText(static_cast<int64_t>(bytes)) + " needed)");
        std::string error;
        if (CreateRecoveryFolder(opts.out, std::time(nullptr), folder, error) != 0) return Fail(error);
        g_stop.store(false);
        std::signal(SIGINT, OnInterrupt);
        for (PhotoItem* item : chosen) {
            if (g_stop.load()) break;
            RecoveryOptions options;
            options.keepFolders = opts.keepFolders;
            if (SavePhotoItem(taskMgr, item, row->partition, folder, nullptr, options) == 0) {
                ++written;
                writtenBytes += item->size;
            } else {
                ++failed;
            }
        }
        std::signal(SIGINT, SIG_DFL);
    }

    if (opts.json) {
        std::printf("{\"folder\": %s, \"written\": %d, \"bytes\": %llu, \"failed\": %d}\n", JsonString(folder).c_str(),
                    written, static_cast<unsigned long long>(writtenBytes), failed);
    } else if (chosen.empty()) {
        std::printf("No photos to recover on %s.\n", row->drive.c_str());
    } else {
        std::printf("%d photo%s (%llu bytes) written to %s\n", written, written == 1 ? "" : "s",
                    static_cast<unsigned long long>(writtenBytes), folder.c_str());
    }
    std::fflush(stdout);
    if (g_stop.load()) return Fail("recovery stopped; the photos written so far stay in " + folder);
    if (failed > 0)
        return Fail(std::to_string(failed) + " photo" + (failed == 1 ? "" : "s") + " could not be recovered");
    if (result < 0)
        return Fail("the scan failed (result " + std::to_string(result) + "); the photos it found were recovered");
    return kExitOk;
}

const char* ImagingResultWord(int rc) {
    switch (rc) {
    case IMAGING_DONE: return "finished";
    case IMAGING_STOPPED: return "stopped";
    case IMAGING_SOURCE_GONE: return "drive gone";
    default: return "failed";
    }
}

int ImageCommand(const CliOptions& opts, ITaskMgr* taskMgr) {
    const std::vector<DriveRow> rows = ListDrives(taskMgr, opts.flashOnly);
    const DriveRow* row = ChooseRow(opts, taskMgr, rows);
    if (!row) return kExitFailure;
    const std::string source = row->disk->GetDevicePath();
    const uint64_t offset = opts.wholeDisk ? 0 : row->infor.Off * 512;
    const uint64_t size = opts.wholeDisk ? row->disk->GetTotalSectors() * 512 : row->infor.Len * 512;
    const std::string what = opts.wholeDisk ? "the whole disk " + source : row->drive;
    if (size == 0) return Fail(what + " is empty: nothing to copy");
    const std::string map = opts.map.empty() ? opts.out + ".map" : opts.map;

    // The image and its map must not land on the disk they copy, not even
    // on another of its partitions: a failing disk is no place to write.
    for (const std::string& path : {opts.out, map}) {
        const std::string folder = FolderOf(path);
        if (!Platform().PathExists(folder)) return Fail("no such folder: " + folder);
        const int same = PathIsOnDevice(folder, source, true);
        if (same < 0) return Fail("cannot examine " + folder);
        if (same > 0)
            return Fail(path + " is on the drive being copied (" + row->drive +
                        "); writing there would overwrite what is being rescued: choose a file on another drive");
    }
    ImagingPlan plan;
    std::string reason;
    if (PlanImaging(source, size, opts.out, map, plan, reason) != 0) return Fail(reason);

    int err = 0;
    DevHandle handle = Platform().Open(source, true, &err);
    if (!handle) return Fail("cannot open " + source + ": " + Platform().ErrorText(err));

    const bool live = StandardErrorIsTerminal();
    if (live)
        std::fprintf(stderr, "%s %s into %s (map %s) ...\n", plan.resume ? "Resuming the copy of" : "Copying",
                     what.c_str(), opts.out.c_str(), map.c_str());
    ImagingOptions options;
    options.retryPasses = opts.retries;
    options.commandLine = opts.commandLine;
    CDiskImager imager(handle.get(), offset, size, options);
    CConsoleImagingObserver observer(live, stderr, &g_stop);
    g_stop.store(false);
    std::signal(SIGINT, OnInterrupt);
    const int rc = imager.Run(opts.out, map, &observer);
    std::signal(SIGINT, SIG_DFL);
    observer.Finish();

    const ImagingProgress& p = imager.Progress();
    if (opts.json) {
        std::printf("{\"image\": %s, \"map\": %s, \"result\": \"%s\", \"size\": %llu, \"rescued\": %llu, "
                    "\"bad_areas\": %llu, \"bad_bytes\": %llu, \"non_tried\": %llu}\n",
                    JsonString(opts.out).c_str(), JsonString(map).c_str(), ImagingResultWord(rc),
                    static_cast<unsigned long long>(p.size), static_cast<unsigned long long>(p.rescued),
                    static_cast<unsigned long long>(p.badAreas), static_cast<unsigned long long>(p.badBytes),
                    static_cast<unsigned long long>(p.nonTried));
    } else if (rc == IMAGING_DONE || rc == IMAGING_STOPPED || rc == IMAGING_SOURCE_GONE) {
        std::printf("%s of %s copied from %s into %s", FormatSizeText(static_cast<int64_t>(p.rescued)).c_str(),
                    FormatSizeText(static_cast<int64_t>(p.size)).c_str(), what.c_str(), opts.out.c_str());
        if (p.badAreas > 0)
            std::printf("; %llu bad area%s (%s) unreadable", static_cast<unsigned long long>(p.badAreas),
                        p.badAreas == 1 ? "" : "s", FormatSizeText(static_cast<int64_t>(p.badBytes)).c_str());
        std::printf(".\nMap: %s\n", map.c_str());
    }
    std::fflush(stdout);
    switch (rc) {
    case IMAGING_DONE:
        if (p.badSectors > 0 && !opts.json)
            std::fprintf(stderr, "lumivista-cli: the image is complete except for the unreadable areas, which stay "
                                 "zero; --retries N tries them again\n");
        return kExitOk;
    case IMAGING_STOPPED:
        return Fail("copy stopped; the map " + map + " is saved: give the same command again to resume");
    case IMAGING_SOURCE_GONE:
        return Fail(imager.ErrorText() + "; the map " + map +
                    " is saved: attach the drive and give the same command again to resume");
    default:
        return Fail(imager.ErrorText());
    }
}

}  // namespace

int RunCli(int argc, const char* const* argv) {
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::printf("lumivista-cli %s\n", LUMIVISTA_VERSION);
        return kExitOk;
    }
    CliOptions opts;
    std::string error;
    if (ParseCommandLine(argc, argv, opts, error) != 0) {
        std::fprintf(stderr, "lumivista-cli: %s\nTry 'lumivista-cli --help'.\n", error.c_str());
        return kExitUsage;
    }
    if (opts.help) {
        std::fputs(HelpText(opts.command).c_str(), stdout);
        return kExitOk;
    }
    InitLog();
    std::vector<std::string> refused;
    UseImages(opts.images, refused);
    // Scanning a row of a shorter list than the user counted would scan
    // the wrong drive: any image that cannot be read stops the command.
    if (!refused.empty() && opts.command != CliCommand::Drives) return Fail(refused.front());
    ITaskMgr* taskMgr = GetTaskMgr();
    switch (opts.command) {
    case CliCommand::Drives: return Drives(opts, taskMgr, refused);
    case CliCommand::Scan: return ScanCommand(opts, taskMgr);
    case CliCommand::Recover: return RecoverCommand(opts, taskMgr);
    case CliCommand::Image: return ImageCommand(opts, taskMgr);
    case CliCommand::Sessions: return SessionsListCommand(opts);
    default: return kExitUsage;
    }
}
