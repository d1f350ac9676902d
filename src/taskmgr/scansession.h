// Scan sessions: a scan saved as it runs into an SQLite file, so that a scan
// stopped by the user, a crash, a sleeping laptop or a drive that dropped off
// the bus goes on later where it was, and a finished scan can be recovered
// from without scanning again.
//
// The file holds the drive it belongs to, the photo types kept, how far the
// scan got (the walk, then the raw scan's position) and every photo found up
// to that point. It is written in transactions, at most every few seconds,
// so a crash loses at most those seconds. A session file is untrusted input:
// everything in it is checked as it is read, and a file that is not a
// session, comes from another version, is damaged or holds values that
// cannot be is refused as a whole with a message saying why.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "io/partition.h"
#include "volphotorev/operation.h"
#include "volphotorev/photoitems.h"

struct sqlite3;
struct sqlite3_stmt;

// What names the drive a session belongs to. A session applies only to a
// partition with the same disk size, the same disk serial or image file, the
// same start and length and the same file-system serial.
struct SessionIdentity {
    uint64_t diskSectors = 0;   // 512-byte sectors of the whole disk or image
    std::string diskSerial;     // the disk's serial number; empty when it tells none
    std::string imagePath;      // absolute path of a disk image file; empty for a device
    std::string devicePath;     // the device or image path as it was opened (for messages)
    uint64_t partOffset = 0;    // first sector of the partition on the disk
    uint64_t partLength = 0;    // sectors
    int32_t fs = 0;             // FsCode of the partition when the session was made
    std::string fsSerial;       // VolumeSerialText of its boot sector; empty when none
    std::string driveText;      // how the drive was shown, for listings only
};

// The identity of a partition: its disk's size, serial or image file, its
// place, and the serial its boot sector holds. `driveText` is left empty for
// the caller. 0, or -1 when the partition has no disk.
int MakeSessionIdentity(IPartition* partition, SessionIdentity& out);

// Why a session of `saved` does not apply to the drive `here`, in a few
// words ("the session's disk has serial WD-123, this one WD-456"); empty
// when it applies.
std::string SessionMismatch(const SessionIdentity& saved, const SessionIdentity& here);

enum class SessionState : int32_t {
    Walking = 0,   // the file-system walk had not finished: it is done again
    RawScan = 1,   // the walk's photos are saved; the raw scan goes on from `position`
    Finished = 2,  // the scan ran to its end
};

// Where the raw scan's map of used sectors came from: it must be made the
// same way again for the scan to go on with the same result.
enum class SessionMap : int32_t {
    AllFree = 0,     // no file system could be read: every sector is scanned
    FileSystem = 1,  // the FAT or $Bitmap
};

struct SessionInfo {
    SessionIdentity identity;
    PhotoChoice choice;        // the types and smallest size kept
    SessionState state = SessionState::Walking;
    SessionMap map = SessionMap::AllFree;
    RawScanPosition position;  // meaningful from RawScan on
    int64_t photos = 0;        // photos saved
    int64_t created = 0;       // seconds since 1970 (UTC)
    int64_t updated = 0;
};

class CScanSession {
public:
    // How often a running scan commits what it found: "every few seconds".
    static constexpr std::chrono::milliseconds kDefaultSaveInterval{3000};

    ~CScanSession();
    CScanSession(const CScanSession&) = delete;
    CScanSession& operator=(const CScanSession&) = delete;

    // Makes a new session file at `path` (there must be none) for a scan of
    // the drive `identity` keeping `choice`. Null, with the reason in
    // `error`, when the file exists or cannot be written.
    static std::unique_ptr<CScanSession> Create(const std::string& path, const SessionIdentity& identity,
                                                const PhotoChoice& choice, std::string& error);
    // Opens a session file and checks everything but its photos (LoadPhotos
    // checks those): null, with a message fit for the user in `error`, for a
    // file that is missing, no session, of another version, damaged, changed
    // by hand or holding impossible values. Opened for writing when the file
    // allows it.
    static std::unique_ptr<CScanSession> Open(const std::string& path, std::string& error);

    const std::string& Path() const { return m_path; }
    const SessionInfo& Info() const { return m_info; }
    // The last failure to write the session, empty when every save worked.
    const std::string& WriteError() const { return m_writeError; }
    // Why LoadPhotos last refused the photos, empty when it did not.
    const std::string& LoadError() const { return m_loadError; }

    // Adds the saved photos to `store` in the order they were found,
    // checking each one (runs inside the partition, sizes and names within
    // bounds). 0, or -1 with the reason in `error` at the first photo that
    // cannot be; the store may then hold some of them.
    int LoadPhotos(IPhotoItmesMgr& store, std::string& error);

    // --- written by the running scan --------------------------------------
    // The store the scan fills: the photos saved so far must be in it
    // already (LoadPhotos), in their order. Not owned.
    void Attach(IPhotoItmesMgr* store);
    // The walk is over and the map of used sectors made: saves every photo
    // of the store and the map's kind, and the raw scan starts at sector 0.
    // 0, or -1 when the file cannot be written.
    int WalkDone(SessionMap map);
    // The raw scan could go on from `position`, with the store as it is now:
    // remembered, and committed when the last commit is older than the save
    // interval. 0, or -1 when a commit failed.
    int Mark(const RawScanPosition& position);
    // Commits the last position marked, with the photos the store had then.
    int Commit();
    // The scan ran to its end: saves every photo and marks the session
    // finished. 0 or -1.
    int Finish();
    void SetSaveInterval(std::chrono::milliseconds interval) { m_interval = interval; }

private:
    CScanSession() = default;
    int Exec(const char* sql, std::string& error);
    int CheckSessionRow(std::string& error);
    int ReadPhotos(IPhotoItmesMgr& store, std::string& error);
    // Saves the photos of the store up to the counts in `upTo` and the
    // session row, in one transaction.
    int Save(const std::array<int64_t, kPhotoCategoryCount>& upTo);
    int SaveFailed(const std::string& what);

    std::string m_path;
    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_insert = nullptr;
    bool m_writable = false;
    SessionInfo m_info;
    IPhotoItmesMgr* m_store = nullptr;  // not owned
    std::array<int64_t, kPhotoCategoryCount> m_saved{};   // photos of each category in the file
    std::array<int64_t, kPhotoCategoryCount> m_marked{};  // ... in the store at the last Mark
    RawScanPosition m_markedPosition;
    bool m_hasMark = false;
    std::chrono::steady_clock::time_point m_lastCommit;
    std::chrono::milliseconds m_interval = kDefaultSaveInterval;
    std::string m_writeError;
    std::string m_loadError;
};

// Whether there is a session at `path`. An empty file, which a scan killed
// before its first save leaves behind, counts as none.
bool SessionFileExists(const std::string& path);

// The folder where the wizard keeps its sessions, one per drive:
// $XDG_DATA_HOME/lumivista/sessions, or ~/.local/share/lumivista/sessions.
std::string DefaultSessionFolder();
// The wizard's session file for a drive, named after its identity.
std::string SessionFileFor(const std::string& folder, const SessionIdentity& identity);
// File names of a session (used by the wizard and by `sessions list`).
constexpr const char* kSessionSuffix = ".lumivista-session";
