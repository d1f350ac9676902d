#include "taskmgr/recoverfiles.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>

#include "io/deviceio.h"
#include "io/log.h"
#include "taskmgr/taskmgr.h"

namespace fs = std::filesystem;

namespace {

// Makes clashing names unique for the life of the process.
std::atomic<int> g_nameCounter{0};

// Room left in a 255-byte file name for a clash prefix such as "123456_".
constexpr size_t kMaxNameBytes = 200;
constexpr size_t kMaxKeptExtension = 16;

// Cuts a UTF-8 string to at most `max` bytes without splitting a character.
std::string CutUtf8(const std::string& s, size_t max) {
    if (s.size() <= max) return s;
    size_t end = max;
    while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
    return s.substr(0, end);
}

bool Exists(const fs::path& p) {
    std::error_code ec;
    return fs::symlink_status(p, ec).type() != fs::file_type::not_found;
}

struct FileCloser {
    void operator()(FILE* f) const { if (f) std::fclose(f); }
};

}  // namespace

std::string SafeFileName(const std::u16string& name) {
    std::string out;
    ForEachCodePoint(name, [&](char32_t c) {
        if (c < 0x20 || c == 0x7F || c == U'/') c = U'_';
        AppendUtf8(out, c);
    });
    if (out.size() > kMaxNameBytes) {
        std::string ext;
        size_t dot = out.rfind('.');
        if (dot != std::string::npos && dot > 0 && out.size() - dot <= kMaxKeptExtension) ext = out.substr(dot);
        out = CutUtf8(out.substr(0, out.size() - ext.size()), kMaxNameBytes - ext.size()) + ext;
    }
    if (out.empty() || out == "." || out == "..") out = "_" + out;
    return out;
}

std::string RecoveryFolderName(const std::tm& local) {
    int h = local.tm_hour;
    if (h > 12) h -= 12;
    char text[64];
    std::snprintf(text, sizeof text, "Recovered Photos(%02d-%02d-%02d)", h, local.tm_min, local.tm_sec);
    return text;
}

int CreateRecoveryFolder(const std::string& dir, std::time_t now, std::string& folder, std::string& error) {
    std::error_code ec;
    if (dir.empty() || !fs::is_directory(dir, ec)) {
        error = "not a folder: " + dir;
        return -1;
    }
    std::tm local{};
    if (!localtime_r(&now, &local)) local.tm_hour = local.tm_min = local.tm_sec = -1;
    fs::path path = fs::path(dir) / RecoveryFolderName(local);
    if (!fs::create_directory(path, ec)) {
        if (ec) {
            error = "cannot create " + path.string() + ": " + ec.message();
            LOG_E("Create folder failed: %s\n", path.string().c_str());
            return -1;
        }
        // It was there already: reuse it only when it really is a folder, not
        // a link that leads elsewhere.
        if (fs::symlink_status(path, ec).type() != fs::file_type::directory) {
            error = "cannot create " + path.string() + ": something else is in the way";
            return -1;
        }
    }
    folder = path.string();
    return 0;
}

uint64_t PhotoBufferSize(const PhotoItem& item) {
    uint64_t need = (static_cast<uint64_t>(item.size) + SECTOR_SIZE - 1) / SECTOR_SIZE * SECTOR_SIZE;
    for (const PhotoRun& run : item.runs) {
        if (run.sectorCount == 0) break;
        if (run.fileSector < 0 || run.sectorCount < 0) return 0;
        const uint64_t limit = UINT64_MAX / SECTOR_SIZE;
        const uint64_t first = static_cast<uint64_t>(run.fileSector);
        const uint64_t count = static_cast<uint64_t>(run.sectorCount);
        if (first > limit || count > limit - first) return 0;
        need = std::max(need, (first + count) * SECTOR_SIZE);
    }
    return need;
}

int SavePhotoItem(ITaskMgr* taskMgr, PhotoItem* item, IPartition* partition, const std::string& folder,
                  std::string* written, const RecoveryOptions& options) {
    if (!taskMgr || !item || !partition) return -1;
    const uint64_t length = PhotoBufferSize(*item);
    if (length == 0 || length > kMaxRecoveredPhotoBytes) {
        LOG_E("Photo of %u bytes refused: its runs need %llu bytes\n", item->size,
              static_cast<unsigned long long>(length));
        return -1;
    }
    // Zeroed, so bytes no run covers never carry old heap contents.
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[length]());
    if (!buffer) return -1;
    if (taskMgr->ReadPhotoData(item, partition, buffer.get(), static_cast<uint32_t>(length)) < 0) return -1;

    return WriteRecoveredPhoto(folder, *item, buffer.get(), options, written);
}

std::string PhotoPathText(const PhotoItem& item) {
    if (item.folder.empty()) return Utf16ToUtf8(item.name);
    return Utf16ToUtf8(item.folder) + "/" + Utf16ToUtf8(item.name);
}

int WriteRecoveredPhoto(const std::string& folder, const PhotoItem& item, const void* bytes,
                        const RecoveryOptions& options, std::string* written) {
    fs::path dir(folder);
    if (options.keepFolders) {
        size_t used = 0;
        size_t from = 0;
        while (from < item.folder.size()) {
            size_t slash = item.folder.find(u'/', from);
            if (slash == std::u16string::npos) slash = item.folder.size();
            const std::u16string part = item.folder.substr(from, slash - from);
            from = slash + 1;
            if (part.empty()) continue;
            // SafeFileName never gives "/", "." or "..": the path stays inside `folder`.
            const std::string safe = SafeFileName(part);
            used += safe.size() + 1;
            if (used > kMaxKeptFolderBytes) {
                LOG_W("Folder path of %s cut: too long\n", Utf16ToUtf8(item.name).c_str());
                break;
            }
            const fs::path next = dir / safe;
            std::error_code ec;
            fs::create_directory(next, ec);
            // A file, or a link that leads elsewhere, is never written through.
            if (ec || fs::symlink_status(next, ec).type() != fs::file_type::directory) {
                LOG_E("Cannot make the folder %s; the photo stays in %s\n", next.string().c_str(),
                      dir.string().c_str());
                break;
            }
            dir = next;
        }
    }
    std::string path;
    if (WriteRecoveredFile(dir.string(), item.name, bytes, item.size, &path) != 0) return -1;
    // (A time past about 2255 does not fit the clock and is not set.)
    constexpr int64_t kLimit = 9'000'000'000;
    if ((item.mtime != 0 || item.mtimeNsec != 0) && item.mtime > -kLimit && item.mtime < kLimit &&
        item.mtimeNsec < 1'000'000'000) {
        using namespace std::chrono;
        const sys_time<nanoseconds> when = sys_seconds{seconds{item.mtime}} + nanoseconds{item.mtimeNsec};
        std::error_code ec;
        fs::last_write_time(path, file_clock::from_sys(when), ec);
        if (ec) LOG_W("Cannot set the time of %s: %s\n", path.c_str(), ec.message().c_str());
    }
    if (written) *written = path;
    return 0;
}

int WriteRecoveredFile(const std::string& folder, const std::u16string& photoName, const void* bytes, uint32_t size,
                       std::string* written) {
    if (!bytes && size > 0) return -1;
    const std::string name = SafeFileName(photoName);
    fs::path path = fs::path(folder) / name;
    std::unique_ptr<FILE, FileCloser> file;
    // "x": create only, so an existing file (or a link planted in the
    // folder) is never written through.
    for (int attempt = 0; attempt < 100000 && !file; ++attempt) {
        if (attempt > 0 || Exists(path)) {
            const int n = ++g_nameCounter;
            path = fs::path(folder) / (std::to_string(n) + "_" + name);
            if (Exists(path)) continue;
        }
        file.reset(std::fopen(path.c_str(), "wbx"));
        if (!file && errno != EEXIST) {
            LOG_E("Cannot create %s: %s\n", path.string().c_str(), std::strerror(errno));
            return -1;
        }
    }
    if (!file) return -1;
    const size_t put = size > 0 ? std::fwrite(bytes, 1, size, file.get()) : 0;
    const bool ok = put == size && std::fclose(file.release()) == 0;
    if (!ok) {
        LOG_E("Writing %s failed\n", path.string().c_str());
        std::error_code ec;
        fs::remove(path, ec);
        return -1;
    }
    if (written) *written = path.string();
    return 0;
}
