#include "io/log.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "io/platform/filelock.h"

namespace {

unsigned g_mask = kDefaultLogMask;
unsigned g_options = kDefaultLogOptions;
FILE* g_stream = nullptr;  // the open log file; closed by the runtime at exit
std::string g_streamPath;  // its path
bool g_discard = false;    // no file could be opened: nothing is logged

const char* LevelLabel(unsigned level) {
    switch (level) {
    case LOG_DEBUG: return "DEBUG: ";
    case LOG_TRACE: return "TRACE: ";
    case LOG_QUIET: return "QUIET: ";
    case LOG_INFO: return "INFO: ";
    case LOG_VERBOSE: return "VERBOSE: ";
    case LOG_PROGRESS: return "PROGRESS: ";
    case LOG_WARNING: return "WARNING: ";
    case LOG_ERROR: return "ERROR: ";
    case LOG_ERRNO: return "ERROR: ";
    case LOG_CRITICAL: return "CRITICAL: ";
    default: return "";
    }
}

int FileSink(const char* func, const char* file, int line, unsigned level, FILE* stream,
             const char* fmt, va_list args) {
    int savedErrno = errno;
    if (!stream) {
        if (g_stream) stream = g_stream;
        else if (g_discard) return 0;
        else if (level == LOG_QUIET || level == LOG_INFO || level == LOG_VERBOSE || level == LOG_PROGRESS)
            stream = stdout;
        else
            stream = stderr;
    }

    time_t now = time(nullptr);
    struct tm tmv {};
    localtime_r(&now, &tmv);
    fprintf(stream, "%d-%d-%d %d:%d:%d ", tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour,
            tmv.tm_min, tmv.tm_sec);

    const char* fileName = file ? file : "";
    if ((g_options & LOGOPT_SHORT_FILE) && std::strchr(fileName, '/')) fileName = std::strrchr(fileName, '/') + 1;

    int written = 0;
    auto add = [&](int r) { if (r > 0) written += r; };
    if (g_options & LOGOPT_LEVEL) add(fprintf(stream, "%s", LevelLabel(level)));
    if (g_options & LOGOPT_FILE) add(fprintf(stream, "%s ", fileName));
    if (g_options & LOGOPT_LINE) add(fprintf(stream, "(%d) ", line));
    if ((g_options & LOGOPT_FUNC) || (level & LOG_TRACE))
        add(fprintf(stream, "%s(): ", QualifiedFunctionName(func).c_str()));
    add(vfprintf(stream, fmt, args));
    if (level & LOG_ERRNO) add(fprintf(stream, ": %s.\n", std::strerror(savedErrno)));
    fflush(stream);
    errno = savedErrno;
    return written;
}

LogSink g_sink = FileSink;

}  // namespace

std::string QualifiedFunctionName(const char* pretty) {
    if (!pretty) return {};
    std::string s(pretty);
    // Cut the parameter list: the first '(' that is not part of "operator()".
    size_t paren = std::string::npos;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '(') {
            if (i >= 8 && s.compare(i - 8, 8, "operator") == 0) { ++i; continue; }
            paren = i;
            break;
        }
    }
    if (paren != std::string::npos) s.resize(paren);
    // Cut the return type: everything up to the last blank outside template brackets.
    int depth = 0;
    size_t start = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '<') ++depth;
        else if (s[i] == '>') --depth;
        else if (s[i] == ' ' && depth == 0) start = i + 1;
    }
    return s.substr(start);
}

int Log(unsigned level, const char* func, const char* file, int line, FILE* stream, const char* fmt, ...) {
    int savedErrno = errno;
    if (!(level & g_mask)) return 0;
    va_list args;
    va_start(args, fmt);
    errno = savedErrno;
    int r = g_sink(func, file, line, level, stream, fmt, args);
    va_end(args);
    errno = savedErrno;
    return r;
}

int OpenLogFile(const char* path) {
    if (!path) return -1;
    if (std::strlen(path) >= 260) return -2;
    // Opened without emptying it first: another running program may still
    // be writing there. Only once the lock is ours is it emptied, and every
    // write goes to its end, so a line is never written over or past a gap.
    FILE* f = fopen(path, "a+");
    if (!f) return -3;
    if (LockOpenFile(f) != 0) {
        // Held by this very process (the file opened again): let it go.
        if (!g_stream || !SameOpenFile(f, g_stream)) {
            fclose(f);
            return -4;
        }
        fclose(g_stream);
        g_stream = nullptr;
        g_streamPath.clear();
        if (LockOpenFile(f) != 0) {
            fclose(f);
            return -4;
        }
    }
    EmptyOpenFile(f);
    if (g_stream) fclose(g_stream);
    g_stream = f;
    g_streamPath = path;
    g_discard = false;
    return 0;
}

std::string CurrentLogPath() { return g_streamPath; }

std::string DefaultLogPath() {
    std::filesystem::path dir;
    const char* state = getenv("XDG_STATE_HOME");
    if (state && *state) {
        dir = std::filesystem::path(state) / "lumivista";
    } else {
        const char* home = getenv("HOME");
        dir = std::filesystem::path(home && *home ? home : "/tmp") / ".local" / "state" / "lumivista";
    }
    return (dir / "Lumivista.log").string();
}

std::string LogPathForRun(int run) {
    const std::filesystem::path first(DefaultLogPath());
    if (run <= 1) return first.string();
    const std::string name = run <= kLogRunSlots ? "Lumivista-" + std::to_string(run) + ".log"
                                                 : "Lumivista-pid" + std::to_string(ProcessId()) + ".log";
    return (first.parent_path() / name).string();
}

void InitLog() {
    std::filesystem::path p(DefaultLogPath());
    std::error_code ec;
    std::filesystem::create_directories(p.parent_path(), ec);
    // A program already running keeps its file: this run takes the first
    // free one of a few numbered files, and one of its own past those.
    for (int run = 1; run <= kLogRunSlots + 1; ++run) {
        const int result = OpenLogFile(LogPathForRun(run).c_str());
        if (result == 0) return;
        if (result != -4) break;
    }
    // No state folder to write in (a home that is read-only or someone
    // else's): a file of this run's own in the temp folder, made anew, so
    // that nothing put there beforehand is followed or written into.
    const std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
    if (!ec) {
        const std::string own = (temp / ("Lumivista-pid" + std::to_string(ProcessId()) + ".log")).string();
        if (own.size() < 260) {
            if (FILE* f = fopen(own.c_str(), "wx")) {
                LockOpenFile(f);
                if (g_stream) fclose(g_stream);
                g_stream = f;
                g_streamPath = own;
                g_discard = false;
                return;
            }
        }
    }
    // Else nothing is logged: log lines never go among the program's own
    // output (a listing in JSON stays JSON).
    if (g_stream) fclose(g_stream);
    g_stream = nullptr;
    g_streamPath.clear();
    g_discard = true;
}

unsigned GetLogMask() { return g_mask; }
void SetLogMask(unsigned mask) { g_mask = mask; }
unsigned GetLogOptions() { return g_options; }
void SetLogOptions(unsigned options) { g_options = options; }
