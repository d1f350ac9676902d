// Scan-session files with fuzzed contents: a session row and photo rows whose
// every value comes from the input, written straight into the file as a
// hand-edited or damaged session would hold them, then opened and loaded the
// way a resumed scan does. Whatever the file holds, a photo that is loaded
// has runs only inside its partition and names and sizes within bounds.
//
// Input: 15 int64 for the session row's numbers (the columns listed in
// kColumns), then records of photo
// rows: a byte of flags, category, origin, size, mtime, nsec (int64 each),
// then three length-prefixed (u16) blobs: name, folder, runs; inline data is
// the rest of the record when flag bit 0 is set.
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "io/le.h"
#include "taskmgr/scansession.h"

namespace {

std::string ScratchPath() {
    static const std::string path = "/tmp/fuzz_session_" + std::to_string(getpid()) + ".lumivista-session";
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog();
    le::Bytes in(data, size);
    const std::string path = ScratchPath();
    std::remove(path.c_str());
    {
        SessionIdentity id;
        id.diskSectors = 1 << 20;
        id.partOffset = 2048;
        id.partLength = 100000;
        std::string error;
        if (!CScanSession::Create(path, id, PhotoChoice{}, error)) std::abort();
    }
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) std::abort();
    size_t pos = 0;
    static const char* const kColumns[] = {"created",  "updated",       "disk_sectors", "part_offset", "part_length",
                                           "fs",       "types",         "min_size",     "state",       "map",
                                           "next_sector", "skip_until", "photos_found", "photos_stored", "photos"};
    for (const char* column : kColumns) {
        if (pos + 8 > size) break;
        // Mostly small values, so that most rows pass the checks and the photo checks are reached.
        int64_t v = static_cast<int64_t>(le::u64(in, pos));
        if ((v & 0xF000000000000000ll) == 0) v &= 0xFFFFF;
        pos += 8;
        const std::string sql = std::string("UPDATE session SET ") + column + " = " + std::to_string(v);
        sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    }
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO photo(category, origin, name, folder, size, mtime, mtime_nsec, runs, inline) "
                       "VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)",
                       -1, &insert, nullptr);
    int rows = 0;
    while (insert && pos + 1 + 5 * 8 + 6 <= size && rows < 64) {
        const uint8_t flags = le::u8(in, pos++);
        for (int k = 0; k < 5; ++k, pos += 8) {
            int64_t v = static_cast<int64_t>(le::u64(in, pos));
            if (!(flags & 0x80)) v &= 0xFFFFFFF;
            sqlite3_bind_int64(insert, k == 0 ? 1 : k == 1 ? 2 : k + 3, v);
        }
        const int blobs[] = {3, 4, 8};
        for (int b : blobs) {
            size_t n = le::u16(in, pos);
            pos += 2;
            n = std::min(n, size - std::min(pos, size));
            sqlite3_bind_blob(insert, b, data + pos, static_cast<int>(n), SQLITE_TRANSIENT);
            pos += n;
        }
        if (flags & 1) {
            sqlite3_bind_blob(insert, 9, data + pos, static_cast<int>(size - pos), SQLITE_TRANSIENT);
            pos = size;
        } else {
            sqlite3_bind_zeroblob(insert, 9, 0);
        }
        sqlite3_step(insert);
        sqlite3_reset(insert);
        ++rows;
    }
    sqlite3_finalize(insert);
    if (size > 0 && (data[0] & 1)) {
        const std::string sql = "UPDATE session SET photos = " + std::to_string(rows);
        sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    }
    sqlite3_close(db);

    std::string error;
    std::unique_ptr<CScanSession> s = CScanSession::Open(path, error);
    if (s) {
        CPhotoItemsMgr store;
        if (s->LoadPhotos(store, error) == 0) {
            const int64_t len = static_cast<int64_t>(s->Info().identity.partLength);
            for (int c = 0; c < kPhotoCategoryCount; ++c) {
                const int n = store.GetItems(c, -1, -1, nullptr);
                for (int i = 0; i < n; ++i) {
                    PhotoItem* item = nullptr;
                    store.GetItems(c, i, 1, &item);
                    for (const PhotoRun& r : item->runs) {
                        if (r.sectorCount == 0) break;
                        if (r.volumeSector >= 0 && (r.volumeSector + r.sectorCount > len)) std::abort();
                    }
                }
            }
        }
    }
    std::remove(path.c_str());
    return 0;
}
