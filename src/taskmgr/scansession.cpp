#include "taskmgr/scansession.h"

#include <sqlite3.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>
#include <system_error>
#include <vector>

#include "filesystem/ntfs_compress.h"
#include "filesystem/volserial.h"
#include "io/deviceio.h"
#include "io/disk.h"
#include "io/log.h"
#include "io/utf.h"

namespace fs = std::filesystem;

namespace {

// Every field of a PhotoItem that a scan fills is saved and checked below;
// the result page's own fields (selected, previewWidth) are not. A field
// added to PhotoItem must be added here too.
#if defined(__x86_64__) && defined(__GLIBCXX__)
static_assert(sizeof(PhotoItem) == 152, "PhotoItem changed: save and check the new field in scan sessions");
#endif

// "LMVS": what tells a session file from any other SQLite file.
constexpr int32_t kApplicationId = 0x4C4D5653;
// The layout below; a file of another number is refused.
constexpr int32_t kFormat = 2;

// Limits of what a photo in a session may hold, far beyond any real photo
// but low enough that nothing read from the file can overflow or exhaust
// memory.
constexpr int64_t kMaxNameUnits = 4096;         // UTF-16 units of a name
constexpr int64_t kMaxFolderUnits = 32768;      // of a folder path
constexpr int64_t kMaxRuns = 1 << 20;           // runs of one photo, the end entry included
constexpr int64_t kMaxInlineBytes = 1 << 20;    // bytes kept inside a file record
constexpr int64_t kMaxFileSectors = 1ll << 32;  // a run's end within its photo (2 TiB)
constexpr size_t kRunBytes = 24;                // three little-endian int64 per run

constexpr const char* kSessionTable =
    "CREATE TABLE session(id INTEGER PRIMARY KEY CHECK(id = 1), created INTEGER NOT NULL, updated INTEGER NOT NULL, "
    "disk_sectors INTEGER NOT NULL, disk_serial TEXT NOT NULL, image_path TEXT NOT NULL, device_path TEXT NOT NULL, "
    "part_offset INTEGER NOT NULL, part_length INTEGER NOT NULL, fs INTEGER NOT NULL, fs_serial TEXT NOT NULL, "
    "drive_text TEXT NOT NULL, types INTEGER NOT NULL, min_size INTEGER NOT NULL, state INTEGER NOT NULL, "
    "map INTEGER NOT NULL, next_sector INTEGER NOT NULL, skip_until INTEGER NOT NULL, photos_found INTEGER NOT NULL, "
    "photos_stored INTEGER NOT NULL, photos INTEGER NOT NULL)";
constexpr const char* kPhotoTable =
    "CREATE TABLE photo(id INTEGER PRIMARY KEY, category INTEGER NOT NULL, origin INTEGER NOT NULL, "
    "name BLOB NOT NULL, folder BLOB NOT NULL, size INTEGER NOT NULL, mtime INTEGER NOT NULL, "
    "mtime_nsec INTEGER NOT NULL, runs BLOB NOT NULL, inline BLOB NOT NULL, compression INTEGER NOT NULL)";

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

// UTF-16 code units as little-endian bytes, and back.
std::string Utf16Bytes(const std::u16string& s) {
    std::string b(s.size() * 2, '\0');
    for (size_t i = 0; i < s.size(); ++i) {
        b[2 * i] = static_cast<char>(s[i] & 0xFF);
        b[2 * i + 1] = static_cast<char>(s[i] >> 8);
    }
    return b;
}

std::u16string Utf16FromBytes(const uint8_t* b, size_t n) {
    std::u16string s(n / 2, u'\0');
    for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char16_t>(b[2 * i] | (b[2 * i + 1] << 8));
    return s;
}

void PutI64(std::string& b, int64_t v) {
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<char>(static_cast<uint64_t>(v) >> (8 * i) & 0xFF));
}

int64_t GetI64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
    return static_cast<int64_t>(v);
}

// The runs up to and with the end entry; an end entry is added to a list
// that lacks one.
std::string RunBytes(const std::vector<PhotoRun>& runs) {
    std::string b;
    int64_t end = 0;
    for (const PhotoRun& r : runs) {
        PutI64(b, r.fileSector);
        PutI64(b, r.volumeSector);
        PutI64(b, r.sectorCount);
        if (r.sectorCount == 0) return b;
        end = r.fileSector + r.sectorCount;
    }
    PutI64(b, end);
    PutI64(b, -3);
    PutI64(b, 0);
    return b;
}

struct Statement {
    sqlite3_stmt* s = nullptr;
    Statement() = default;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement() { sqlite3_finalize(s); }
};

std::string ColumnText(sqlite3_stmt* s, int col) {
    const unsigned char* t = sqlite3_column_text(s, col);
    return t ? std::string(reinterpret_cast<const char*>(t), static_cast<size_t>(sqlite3_column_bytes(s, col)))
             : std::string();
}

}  // namespace

// --- identity -------------------------------------------------------------------

int MakeSessionIdentity(IPartition* partition, SessionIdentity& out) {
    out = SessionIdentity();
    CDisk* disk = partition ? partition->GetDisk() : nullptr;
    if (!disk) return -1;
    out.diskSectors = disk->GetTotalSectors();
    out.diskSerial = disk->GetSerialNumber();
    out.devicePath = disk->GetDevicePath();
    std::error_code ec;
    if (!out.devicePath.empty() && fs::is_regular_file(out.devicePath, ec)) {
        const fs::path full = fs::weakly_canonical(fs::absolute(out.devicePath, ec), ec);
        out.imagePath = ec ? out.devicePath : full.string();
        out.diskSerial.clear();  // an image has none; its path names it
    }
    out.partOffset = partition->GetOff();
    out.partLength = partition->GetLen();
    out.fs = partition->GetFs();
    if (disk->GetHandle() && out.partLength > 0) {
        std::vector<uint8_t> boot(SECTOR_SIZE);
        CVolDevice device(disk, out.partOffset);
        if (device.ReadSectors(0, 1, boot.data()) == 1) out.fsSerial = VolumeSerialText(boot);
    }
    return 0;
}

std::string SessionMismatch(const SessionIdentity& saved, const SessionIdentity& here) {
    if (!saved.imagePath.empty() || !here.imagePath.empty()) {
        if (saved.imagePath.empty()) return "the session is of a disk, not of the image " + here.imagePath;
        if (here.imagePath.empty()) return "the session is of the image " + saved.imagePath + ", not of a disk";
        if (saved.imagePath != here.imagePath)
            return "the session is of the image " + saved.imagePath + ", not " + here.imagePath;
    } else if (saved.diskSerial != here.diskSerial) {
        return "the session's disk has serial " + (saved.diskSerial.empty() ? "(none)" : saved.diskSerial) +
               ", this one " + (here.diskSerial.empty() ? "(none)" : here.diskSerial);
    }
    if (saved.diskSectors != here.diskSectors)
        return "the session's disk has " + std::to_string(saved.diskSectors) + " sectors, this one " +
               std::to_string(here.diskSectors);
    if (saved.partOffset != here.partOffset || saved.partLength != here.partLength)
        return "the session's partition starts at sector " + std::to_string(saved.partOffset) + " and has " +
               std::to_string(saved.partLength) + " sectors, this one starts at " + std::to_string(here.partOffset) +
               " and has " + std::to_string(here.partLength);
    if (saved.fsSerial != here.fsSerial)
        return "the session's file system has serial " + (saved.fsSerial.empty() ? "(none)" : saved.fsSerial) +
               ", this one " + (here.fsSerial.empty() ? "(none)" : here.fsSerial) + " (formatted since?)";
    return {};
}

// --- opening and checking ------------------------------------------------------

CScanSession::~CScanSession() {
    sqlite3_finalize(m_insert);
    if (m_db) sqlite3_close_v2(m_db);
}

int CScanSession::Exec(const char* sql, std::string& error) {
    char* message = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &message) == SQLITE_OK) return 0;
    error = message ? message : sqlite3_errmsg(m_db);
    sqlite3_free(message);
    return -1;
}

namespace {

// A connection that trusts nothing in the file: no triggers or views run,
// no SQL functions are reached through the schema, and the file's own
// structures cannot be written through SQL.
void Harden(sqlite3* db) {
    sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_VIEW, 0, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0, nullptr);
    // A damaged file must not make a read wait or run away.
    sqlite3_limit(db, SQLITE_LIMIT_LENGTH, static_cast<int>(std::max<int64_t>(kMaxRuns * kRunBytes, kMaxInlineBytes)));
    sqlite3_busy_timeout(db, 2000);
}

int PragmaInt(sqlite3* db, const char* sql, int64_t& value) {
    Statement st;
    if (sqlite3_prepare_v2(db, sql, -1, &st.s, nullptr) != SQLITE_OK) return -1;
    if (sqlite3_step(st.s) != SQLITE_ROW) return -1;
    value = sqlite3_column_int64(st.s, 0);
    return 0;
}

}  // namespace

std::unique_ptr<CScanSession> CScanSession::Create(const std::string& path, const SessionIdentity& identity,
                                                   const PhotoChoice& choice, std::string& error) {
    std::error_code ec;
    if (SessionFileExists(path)) {
        error = "the session file " + Quoted(path) + " exists already";
        return nullptr;
    }
    // Left by a scan killed before its first save: nothing is lost.
    if (fs::is_regular_file(path, ec) && fs::file_size(path, ec) == 0) fs::remove(path, ec);
    // The file is made under another name and renamed into place once whole:
    // a scan killed meanwhile leaves no half-made session behind.
    const std::string making = path + ".new";
    fs::remove(making, ec);
    fs::remove(making + "-journal", ec);
    std::unique_ptr<CScanSession> s(new CScanSession());
    s->m_path = path;
    if (sqlite3_open_v2(making.c_str(), &s->m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW,
                        nullptr) != SQLITE_OK) {
        error = "cannot make the session file " + Quoted(path) + ": " +
                (s->m_db ? sqlite3_errmsg(s->m_db) : "out of memory");
        return nullptr;
    }
    Harden(s->m_db);
    s->m_writable = true;
    SessionInfo& info = s->m_info;
    info.identity = identity;
    info.choice = choice;
    info.created = info.updated = Now();
    std::string why;
    const std::string pragmas = "PRAGMA application_id = " + std::to_string(kApplicationId) +
                                "; PRAGMA user_version = " + std::to_string(kFormat) + ";";
    if (s->Exec("BEGIN", why) != 0 || s->Exec(pragmas.c_str(), why) != 0 || s->Exec(kSessionTable, why) != 0 ||
        s->Exec(kPhotoTable, why) != 0) {
        error = "cannot make the session file " + Quoted(path) + ": " + why;
        s.reset();
        fs::remove(making, ec);
        return nullptr;
    }
    {
        Statement st;
        const char* sql =
            "INSERT INTO session VALUES(1, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 0, 0, 0, 0, 0, 0, 0)";
        bool ok = sqlite3_prepare_v2(s->m_db, sql, -1, &st.s, nullptr) == SQLITE_OK;
        int k = 1;
        auto text = [&](const std::string& t) {
            ok = ok && sqlite3_bind_text(st.s, k++, t.c_str(), static_cast<int>(t.size()), SQLITE_TRANSIENT) == SQLITE_OK;
        };
        auto number = [&](int64_t v) { ok = ok && sqlite3_bind_int64(st.s, k++, v) == SQLITE_OK; };
        number(info.created);
        number(info.updated);
        number(static_cast<int64_t>(identity.diskSectors));
        text(identity.diskSerial);
        text(identity.imagePath);
        text(identity.devicePath);
        number(static_cast<int64_t>(identity.partOffset));
        number(static_cast<int64_t>(identity.partLength));
        number(identity.fs);
        text(identity.fsSerial);
        text(identity.driveText);
        number(choice.categories);
        number(static_cast<int64_t>(std::min<uint64_t>(choice.minSize, INT64_MAX)));
        ok = ok && sqlite3_step(st.s) == SQLITE_DONE;
        if (!ok) why = sqlite3_errmsg(s->m_db);
        if (!ok || s->Exec("COMMIT", why) != 0) {
            error = "cannot make the session file " + Quoted(path) + ": " + why;
            sqlite3_finalize(st.s);
            st.s = nullptr;
            s.reset();
            fs::remove(making, ec);
            return nullptr;
        }
    }
    sqlite3_close_v2(s->m_db);
    s->m_db = nullptr;
    fs::rename(making, path, ec);
    if (ec || sqlite3_open_v2(path.c_str(), &s->m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr) !=
                  SQLITE_OK) {
        error = "cannot make the session file " + Quoted(path) + ": " +
                (ec ? ec.message() : std::string(s->m_db ? sqlite3_errmsg(s->m_db) : "out of memory"));
        s.reset();
        fs::remove(ec ? making : path, ec);
        return nullptr;
    }
    Harden(s->m_db);
    s->m_lastCommit = std::chrono::steady_clock::now();
    LOG_T("session %s made\n", path.c_str());
    return s;
}

std::unique_ptr<CScanSession> CScanSession::Open(const std::string& path, std::string& error) {
    const std::string what = "the session file " + Quoted(path);
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
        error = fs::exists(path, ec) ? what + " is not a file" : "there is no session file " + Quoted(path);
        return nullptr;
    }
    std::unique_ptr<CScanSession> s(new CScanSession());
    s->m_path = path;
    // Read-write when the file allows it (a scan goes on in it), else read-only.
    int rc = sqlite3_open_v2(path.c_str(), &s->m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr);
    s->m_writable = rc == SQLITE_OK;
    if (rc != SQLITE_OK) {
        sqlite3_close_v2(s->m_db);
        s->m_db = nullptr;
        rc = sqlite3_open_v2(path.c_str(), &s->m_db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW, nullptr);
    }
    if (rc != SQLITE_OK) {
        error = "cannot open " + what + ": " + (s->m_db ? sqlite3_errmsg(s->m_db) : "out of memory");
        return nullptr;
    }
    Harden(s->m_db);

    int64_t appId = 0, format = 0;
    if (PragmaInt(s->m_db, "PRAGMA application_id", appId) != 0) {
        const int code = sqlite3_errcode(s->m_db);
        if (code == SQLITE_NOTADB) error = what + " is not a Lumivista scan session";
        else if (code == SQLITE_CORRUPT) error = what + " is damaged (" + sqlite3_errmsg(s->m_db) + ")";
        else error = what + " cannot be read: " + sqlite3_errmsg(s->m_db);
        return nullptr;
    }
    if (appId != kApplicationId) {
        error = what + " is not a Lumivista scan session";
        return nullptr;
    }
    if (PragmaInt(s->m_db, "PRAGMA user_version", format) != 0 || format != kFormat) {
        error = what + " was saved by another version of Lumivista (session format " + std::to_string(format) +
                "; this version reads format " + std::to_string(kFormat) + ")";
        return nullptr;
    }
    {
        // The whole file's structure, before any of it is believed.
        Statement st;
        if (sqlite3_prepare_v2(s->m_db, "PRAGMA quick_check(1)", -1, &st.s, nullptr) != SQLITE_OK ||
            sqlite3_step(st.s) != SQLITE_ROW || ColumnText(st.s, 0) != "ok") {
            const std::string detail = st.s && sqlite3_data_count(st.s) > 0 ? ColumnText(st.s, 0)
                                                                            : std::string(sqlite3_errmsg(s->m_db));
            error = what + " is damaged (" + detail + ")";
            return nullptr;
        }
    }
    {
        // Exactly the two tables this version makes, as it makes them.
        Statement st;
        int tables = 0;
        bool same = sqlite3_prepare_v2(s->m_db, "SELECT type, name, sql FROM sqlite_schema", -1, &st.s, nullptr) ==
                    SQLITE_OK;
        while (same && (rc = sqlite3_step(st.s)) == SQLITE_ROW) {
            const std::string type = ColumnText(st.s, 0), name = ColumnText(st.s, 1), sql = ColumnText(st.s, 2);
            if (type == "table" && name == "session" && sql == kSessionTable) ++tables;
            else if (type == "table" && name == "photo" && sql == kPhotoTable) ++tables;
            else same = false;
        }
        if (!same || rc != SQLITE_DONE || tables != 2) {
            error = what + " has been changed: its tables are not those of a scan session";
            return nullptr;
        }
    }
    std::string why;
    if (s->CheckSessionRow(why) != 0) {
        error = what + " holds impossible values: " + why;
        return nullptr;
    }
    s->m_lastCommit = std::chrono::steady_clock::now();
    return s;
}

int CScanSession::CheckSessionRow(std::string& error) {
    Statement st;
    const char* sql =
        "SELECT created, updated, disk_sectors, disk_serial, image_path, device_path, part_offset, part_length, fs, "
        "fs_serial, drive_text, types, min_size, state, map, next_sector, skip_until, photos_found, photos_stored, "
        "photos, (SELECT COUNT(*) FROM session), (SELECT COUNT(*) FROM photo) FROM session";
    if (sqlite3_prepare_v2(m_db, sql, -1, &st.s, nullptr) != SQLITE_OK) {
        error = sqlite3_errmsg(m_db);
        return -1;
    }
    if (sqlite3_step(st.s) != SQLITE_ROW) {
        error = "no session record";
        return -1;
    }
    static const int kTextColumns[] = {3, 4, 5, 9, 10};
    for (int c = 0; c < 22; ++c) {
        const bool text = std::find(std::begin(kTextColumns), std::end(kTextColumns), c) != std::end(kTextColumns);
        if (sqlite3_column_type(st.s, c) != (text ? SQLITE_TEXT : SQLITE_INTEGER)) {
            error = std::string("field ") + sqlite3_column_name(st.s, c) + " has the wrong type";
            return -1;
        }
    }
    auto i64 = [&](int c) { return sqlite3_column_int64(st.s, c); };
    SessionInfo& info = m_info;
    info.created = i64(0);
    info.updated = i64(1);
    const int64_t diskSectors = i64(2), partOffset = i64(6), partLength = i64(7);
    info.identity.diskSerial = ColumnText(st.s, 3);
    info.identity.imagePath = ColumnText(st.s, 4);
    info.identity.devicePath = ColumnText(st.s, 5);
    info.identity.fsSerial = ColumnText(st.s, 9);
    info.identity.driveText = ColumnText(st.s, 10);
    const int64_t fsCode = i64(8), types = i64(11), minSize = i64(12), state = i64(13), map = i64(14);
    RawScanPosition& p = info.position;
    p.next = i64(15);
    p.skipUntil = i64(16);
    p.photosFound = i64(17);
    p.photosStored = i64(18);
    info.photos = i64(19);
    const int64_t rows = i64(20), photoRows = i64(21);

    if (rows != 1) return error = "more than one session record", -1;
    if (diskSectors <= 0 || partOffset < 0 || partLength <= 0 || partOffset > diskSectors ||
        partLength > diskSectors - partOffset)
        return error = "the partition does not lie on its disk", -1;
    if (fsCode < INT32_MIN || fsCode > INT32_MAX) return error = "unknown file-system code", -1;
    if (types < 0 || types >= (int64_t{1} << kPhotoCategoryCount) || minSize < 0)
        return error = "unknown photo types", -1;
    if (state < 0 || state > 2 || map < 0 || map > 1) return error = "unknown scan state", -1;
    // A walk is saved only once it is over.
    if (state == static_cast<int64_t>(SessionState::Walking) && (photoRows != 0 || p.next != 0))
        return error = "photos saved before the walk was over", -1;
    if (p.next < 0 || p.next > partLength || p.skipUntil < 0 || p.skipUntil > partLength)
        return error = "the raw scan's position lies outside the partition", -1;
    if (p.photosFound < 0 || p.photosStored < 0 || p.photosStored > p.photosFound)
        return error = "impossible photo counts", -1;
    if (info.photos != photoRows) return error = "the photo count does not match the photos", -1;
    if (p.photosStored > photoRows) return error = "fewer photos than the raw scan stored", -1;
    info.identity.diskSectors = static_cast<uint64_t>(diskSectors);
    info.identity.partOffset = static_cast<uint64_t>(partOffset);
    info.identity.partLength = static_cast<uint64_t>(partLength);
    info.identity.fs = static_cast<int32_t>(fsCode);
    info.choice.categories = static_cast<uint32_t>(types);
    info.choice.minSize = static_cast<uint64_t>(minSize);
    info.state = static_cast<SessionState>(state);
    info.map = static_cast<SessionMap>(map);
    return 0;
}

// --- photos ------------------------------------------------------------------

int CScanSession::LoadPhotos(IPhotoItmesMgr& store, std::string& error) {
    m_loadError.clear();
    const int result = ReadPhotos(store, error);
    if (result != 0) m_loadError = error;
    return result;
}

int CScanSession::ReadPhotos(IPhotoItmesMgr& store, std::string& error) {
    const std::string what = "the session file " + Quoted(m_path);
    Statement st;
    if (sqlite3_prepare_v2(m_db,
                           "SELECT id, category, origin, name, folder, size, mtime, mtime_nsec, runs, inline, "
                           "compression "
                           "FROM photo ORDER BY id",
                           -1, &st.s, nullptr) != SQLITE_OK) {
        error = what + " cannot be read: " + sqlite3_errmsg(m_db);
        return -1;
    }
    const int64_t partLength = static_cast<int64_t>(m_info.identity.partLength);
    m_saved.fill(0);
    int rc = SQLITE_ROW;
    int64_t n = 0;
    while ((rc = sqlite3_step(st.s)) == SQLITE_ROW) {
        ++n;
        auto bad = [&](const std::string& why) {
            error = what + " holds impossible values: photo " + std::to_string(n) + ": " + why;
            return -1;
        };
        static const int kTypes[] = {SQLITE_INTEGER, SQLITE_INTEGER, SQLITE_INTEGER, SQLITE_BLOB, SQLITE_BLOB,
                                     SQLITE_INTEGER, SQLITE_INTEGER, SQLITE_INTEGER, SQLITE_BLOB, SQLITE_BLOB,
                                     SQLITE_INTEGER};
        for (int c = 0; c < 11; ++c) {
            // SQLite gives an empty blob back as NULL.
            const int type = sqlite3_column_type(st.s, c);
            if (type != kTypes[c] && !(kTypes[c] == SQLITE_BLOB && type == SQLITE_NULL))
                return bad(std::string(sqlite3_column_name(st.s, c)) + " has the wrong type");
        }
        auto item = std::make_unique<PhotoItem>();
        const int64_t category = sqlite3_column_int64(st.s, 1), origin = sqlite3_column_int64(st.s, 2);
        if (category < 0 || category >= kPhotoCategoryCount) return bad("unknown category");
        if (origin != FileSystem && origin != DeletedRecord && origin != RawScan) return bad("unknown origin");
        item->category = static_cast<PhotoCategory>(category);
        item->origin = static_cast<PhotoOrigin>(origin);

        const auto* name = static_cast<const uint8_t*>(sqlite3_column_blob(st.s, 3));
        const int nameBytes = sqlite3_column_bytes(st.s, 3);
        if (!name || nameBytes < 2 || nameBytes % 2 != 0 || nameBytes > 2 * kMaxNameUnits) return bad("bad name");
        item->name = Utf16FromBytes(name, static_cast<size_t>(nameBytes));
        if (item->name.find(u'\0') != std::u16string::npos) return bad("bad name");
        const auto* folder = static_cast<const uint8_t*>(sqlite3_column_blob(st.s, 4));
        const int folderBytes = sqlite3_column_bytes(st.s, 4);
        if (folderBytes % 2 != 0 || folderBytes > 2 * kMaxFolderUnits) return bad("bad folder");
        if (folder) item->folder = Utf16FromBytes(folder, static_cast<size_t>(folderBytes));
        if (item->folder.find(u'\0') != std::u16string::npos) return bad("bad folder");

        const int64_t size = sqlite3_column_int64(st.s, 5);
        if (size < 0 || static_cast<uint64_t>(size) > std::numeric_limits<decltype(PhotoItem::size)>::max())
            return bad("bad size");
        item->size = static_cast<decltype(PhotoItem::size)>(size);
        item->mtime = sqlite3_column_int64(st.s, 6);
        const int64_t nsec = sqlite3_column_int64(st.s, 7);
        if (nsec < 0 || nsec > 999999999) return bad("bad time");
        item->mtimeNsec = static_cast<uint32_t>(nsec);

        const auto* runs = static_cast<const uint8_t*>(sqlite3_column_blob(st.s, 8));
        const int runBytes = sqlite3_column_bytes(st.s, 8);
        if (!runs || runBytes <= 0 || runBytes % kRunBytes != 0 ||
            static_cast<int64_t>(runBytes) / static_cast<int64_t>(kRunBytes) > kMaxRuns)
            return bad("bad run list");
        const size_t count = static_cast<size_t>(runBytes) / kRunBytes;
        item->runs.resize(count);
        int64_t fileEnd = 0;
        for (size_t k = 0; k < count; ++k) {
            PhotoRun& r = item->runs[k];
            r.fileSector = GetI64(runs + k * kRunBytes);
            r.volumeSector = GetI64(runs + k * kRunBytes + 8);
            r.sectorCount = GetI64(runs + k * kRunBytes + 16);
            const bool last = k + 1 == count;
            if (last != (r.sectorCount == 0)) return bad("run list without its end, or ended early");
            if (r.fileSector < fileEnd || r.fileSector > kMaxFileSectors) return bad("runs out of order");
            if (last) break;
            if (r.sectorCount < 0 || r.sectorCount > kMaxFileSectors - r.fileSector) return bad("run too long");
            // A run with no place on the disk is a hole; any other lies inside the partition.
            if (r.volumeSector >= 0 && (r.volumeSector > partLength || r.sectorCount > partLength - r.volumeSector))
                return bad("a run outside the partition");
            fileEnd = r.fileSector + r.sectorCount;
        }
        const auto* inlineBytes = static_cast<const uint8_t*>(sqlite3_column_blob(st.s, 9));
        const int inlineCount = sqlite3_column_bytes(st.s, 9);
        if (inlineCount > 0) {
            if (inlineCount > kMaxInlineBytes || inlineCount != size || count != 1 || !inlineBytes)
                return bad("bad inline data");
            item->inlineData.assign(inlineBytes, inlineBytes + inlineCount);
        }
        const int64_t unit = sqlite3_column_int64(st.s, 10);
        if (unit < 0 || static_cast<uint64_t>(unit) > kMaxCompressionUnitSectors || (unit & (unit - 1)) != 0 ||
            (unit != 0 && inlineCount > 0))
            return bad("bad compression unit");
        item->compressionUnit = static_cast<uint32_t>(unit);
        ++m_saved[static_cast<size_t>(category)];
        store.AddItem(std::move(item));
    }
    if (rc != SQLITE_DONE) {
        error = what + " is damaged (" + sqlite3_errmsg(m_db) + ")";
        return -1;
    }
    if (n != m_info.photos) {
        error = what + " holds impossible values: the photo count does not match the photos";
        return -1;
    }
    // What the store kept of them is what later saves count from.
    for (int c = 0; c < kPhotoCategoryCount; ++c)
        m_saved[static_cast<size_t>(c)] = std::max(store.GetItems(c, -1, -1, nullptr), 0);
    m_marked = m_saved;
    return 0;
}

// --- saving ------------------------------------------------------------------

void CScanSession::Attach(IPhotoItmesMgr* store) { m_store = store; }

int CScanSession::SaveFailed(const std::string& what) {
    m_writeError = "cannot save the session " + Quoted(m_path) + ": " + what;
    LOG_E("%s\n", m_writeError.c_str());
    std::string ignored;
    if (m_db && !sqlite3_get_autocommit(m_db)) Exec("ROLLBACK", ignored);
    return -1;
}

int CScanSession::Save(const std::array<int64_t, kPhotoCategoryCount>& upTo) {
    if (!m_db || !m_writable) return SaveFailed("the file is read-only");
    std::string why;
    if (Exec("BEGIN IMMEDIATE", why) != 0) return SaveFailed(why);
    if (!m_insert &&
        sqlite3_prepare_v3(m_db,
                           "INSERT INTO photo(category, origin, name, folder, size, mtime, mtime_nsec, runs, inline, "
                           "compression) "
                           "VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                           -1, SQLITE_PREPARE_PERSISTENT, &m_insert, nullptr) != SQLITE_OK)
        return SaveFailed(sqlite3_errmsg(m_db));
    std::array<int64_t, kPhotoCategoryCount> saved = m_saved;
    int64_t photos = m_info.photos;
    constexpr int kBlock = 512;
    PhotoItem* block[kBlock];
    for (int c = 0; c < kPhotoCategoryCount && m_store; ++c) {
        int64_t& done = saved[static_cast<size_t>(c)];
        while (done < upTo[static_cast<size_t>(c)]) {
            const int want = static_cast<int>(std::min<int64_t>(kBlock, upTo[static_cast<size_t>(c)] - done));
            const int got = m_store->GetItems(c, static_cast<int32_t>(done), want, block);
            if (got <= 0) return SaveFailed("the photo store lost photos");
            for (int i = 0; i < got; ++i) {
                const PhotoItem& item = *block[i];
                const std::string name = Utf16Bytes(item.name), folder = Utf16Bytes(item.folder);
                const std::string runs = RunBytes(item.runs);
                sqlite3_stmt* s = m_insert;
                sqlite3_reset(s);
                bool ok = sqlite3_bind_int64(s, 1, item.category) == SQLITE_OK &&
                          sqlite3_bind_int64(s, 2, item.origin) == SQLITE_OK &&
                          sqlite3_bind_blob(s, 3, name.data(), static_cast<int>(name.size()), SQLITE_STATIC) ==
                              SQLITE_OK &&
                          sqlite3_bind_blob(s, 4, folder.data(), static_cast<int>(folder.size()), SQLITE_STATIC) ==
                              SQLITE_OK &&
                          sqlite3_bind_int64(s, 5, static_cast<int64_t>(item.size)) == SQLITE_OK &&
                          sqlite3_bind_int64(s, 6, item.mtime) == SQLITE_OK &&
                          sqlite3_bind_int64(s, 7, item.mtimeNsec) == SQLITE_OK &&
                          sqlite3_bind_blob(s, 8, runs.data(), static_cast<int>(runs.size()), SQLITE_STATIC) ==
                              SQLITE_OK &&
                          (item.inlineData.empty()
                               ? sqlite3_bind_zeroblob(s, 9, 0)
                               : sqlite3_bind_blob(s, 9, item.inlineData.data(),
                                                   static_cast<int>(item.inlineData.size()), SQLITE_STATIC)) ==
                              SQLITE_OK &&
                          sqlite3_bind_int64(s, 10, item.compressionUnit) == SQLITE_OK;
                ok = ok && sqlite3_step(s) == SQLITE_DONE;
                sqlite3_clear_bindings(s);
                if (!ok) return SaveFailed(sqlite3_errmsg(m_db));
            }
            done += got;
            photos += got;
        }
    }
    Statement st;
    const RawScanPosition& p = m_info.position;
    const int64_t updated = Now();
    bool ok = sqlite3_prepare_v2(m_db,
                                 "UPDATE session SET updated = ?, state = ?, map = ?, next_sector = ?, "
                                 "skip_until = ?, photos_found = ?, photos_stored = ?, photos = ?",
                                 -1, &st.s, nullptr) == SQLITE_OK;
    int k = 1;
    for (int64_t v : {updated, static_cast<int64_t>(m_info.state), static_cast<int64_t>(m_info.map), p.next,
                      p.skipUntil, p.photosFound, p.photosStored, photos})
        ok = ok && sqlite3_bind_int64(st.s, k++, v) == SQLITE_OK;
    ok = ok && sqlite3_step(st.s) == SQLITE_DONE;
    if (!ok) return SaveFailed(sqlite3_errmsg(m_db));
    if (Exec("COMMIT", why) != 0) return SaveFailed(why);
    m_saved = saved;
    m_info.photos = photos;
    m_info.updated = updated;
    m_lastCommit = std::chrono::steady_clock::now();
    return 0;
}

namespace {
std::array<int64_t, kPhotoCategoryCount> StoreCounts(IPhotoItmesMgr* store) {
    std::array<int64_t, kPhotoCategoryCount> n{};
    for (int c = 0; c < kPhotoCategoryCount && store; ++c)
        n[static_cast<size_t>(c)] = std::max(store->GetItems(c, -1, -1, nullptr), 0);
    return n;
}
}  // namespace

int CScanSession::WalkDone(SessionMap map) {
    m_info.state = SessionState::RawScan;
    m_info.map = map;
    m_info.position = RawScanPosition();
    m_marked = StoreCounts(m_store);
    m_markedPosition = m_info.position;
    m_hasMark = true;
    return Save(m_marked);
}

int CScanSession::Mark(const RawScanPosition& position) {
    m_markedPosition = position;
    m_marked = StoreCounts(m_store);
    m_hasMark = true;
    if (std::chrono::steady_clock::now() - m_lastCommit < m_interval) return 0;
    return Commit();
}

int CScanSession::Commit() {
    if (!m_hasMark || m_info.state != SessionState::RawScan) return 0;
    m_info.position = m_markedPosition;
    return Save(m_marked);
}

int CScanSession::Finish() {
    m_info.state = SessionState::Finished;
    m_info.position.next = static_cast<int64_t>(m_info.identity.partLength);
    if (m_hasMark) {
        m_info.position.skipUntil = m_markedPosition.skipUntil;
        m_info.position.photosFound = m_markedPosition.photosFound;
        m_info.position.photosStored = m_markedPosition.photosStored;
    }
    m_marked = StoreCounts(m_store);
    return Save(m_marked);
}

// --- where the wizard keeps them ---------------------------------------------

bool SessionFileExists(const std::string& path) {
    std::error_code ec;
    if (!fs::exists(path, ec)) return false;
    return !fs::is_regular_file(path, ec) || fs::file_size(path, ec) > 0;
}

std::string DefaultSessionFolder() {
    const char* data = std::getenv("XDG_DATA_HOME");
    fs::path base;
    if (data && data[0] == '/') {
        base = data;
    } else {
        const char* home = std::getenv("HOME");
        base = fs::path(home && home[0] ? home : "/tmp") / ".local" / "share";
    }
    return (base / "lumivista" / "sessions").string();
}

std::string SessionFileFor(const std::string& folder, const SessionIdentity& id) {
    // FNV-1a over what names the drive: the same drive gives the same file.
    uint64_t h = 1469598103934665603ull;
    auto mix = [&](const std::string& s) {
        for (unsigned char ch : s) h = (h ^ ch) * 1099511628211ull;
        h = (h ^ 0xFF) * 1099511628211ull;
    };
    mix(id.imagePath.empty() ? id.diskSerial : id.imagePath);
    mix(std::to_string(id.diskSectors));
    mix(std::to_string(id.partOffset));
    mix(std::to_string(id.partLength));
    mix(id.fsSerial);
    char name[64];
    std::snprintf(name, sizeof name, "%016" PRIx64 "%s", h, kSessionSuffix);
    return (fs::path(folder) / name).string();
}
