// Process-wide diagnostic log: one filtered, prefixed line per message.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

enum LogLevel : unsigned {
    LOG_DEBUG = 1,
    LOG_TRACE = 2,
    LOG_QUIET = 4,
    LOG_INFO = 8,
    LOG_VERBOSE = 16,
    LOG_PROGRESS = 32,
    LOG_WARNING = 64,
    LOG_ERROR = 128,
    LOG_ERRNO = 256,
    LOG_CRITICAL = 512,
};

// Format option bits.
enum LogOption : unsigned {
    LOGOPT_LEVEL = 1,
    LOGOPT_FILE = 2,
    LOGOPT_LINE = 4,
    LOGOPT_FUNC = 8,
    LOGOPT_SHORT_FILE = 16,
};

constexpr unsigned kDefaultLogMask = 0xD2;
constexpr unsigned kDefaultLogOptions = 13;

using LogSink = int (*)(const char* func, const char* file, int line, unsigned level,
                        FILE* stream, const char* fmt, va_list args);

// Writes one message. `func` is the caller's qualified name; a compiler's
// pretty function signature is accepted and cut down to "Class::Method".
// Returns the characters written after the time stamp, 0 when filtered out
// or when no stream is available. Never changes errno.
int Log(unsigned level, const char* func, const char* file, int line, FILE* stream,
        const char* fmt, ...) __attribute__((format(printf, 6, 7)));

// 0 success; -1 null path; -2 path of 260 or more characters; -3 cannot open;
// -4 another running program writes this file (it is left as it is). On
// success the file is emptied and held by this process until it is closed,
// the previous log file is closed and this one takes its place.
int OpenLogFile(const char* path);

// Opens "Lumivista.log" in the user's state folder ($XDG_STATE_HOME/lumivista,
// else ~/.local/state/lumivista), creating the folder when missing. While
// another run of the wizard or the command line holds that file, this run
// writes "Lumivista-2.log", "Lumivista-3.log"... up to kLogRunSlots, then
// "Lumivista-pidN.log" with its process number. Without a state folder to
// write in, the log is "Lumivista-pidN.log" in the temp folder, made anew;
// failing that too nothing is logged until a log file is opened.
void InitLog();
constexpr int kLogRunSlots = 9;

// The path InitLog tries first (for the user guide and the tests).
std::string DefaultLogPath();
// The path InitLog tries for the n-th program running at once (from 1).
std::string LogPathForRun(int run);
// The file this process logs to, or empty when it logs to no file.
std::string CurrentLogPath();

// Settings; the program keeps the defaults, tests may change them.
unsigned GetLogMask();
void SetLogMask(unsigned mask);
unsigned GetLogOptions();
void SetLogOptions(unsigned options);

// "Class::Method" from a __PRETTY_FUNCTION__ text.
std::string QualifiedFunctionName(const char* prettyFunction);

#define LV_LOG(level, ...) ::Log((level), __PRETTY_FUNCTION__, __FILE__, __LINE__, nullptr, __VA_ARGS__)
#define LOG_E(...) LV_LOG(LOG_ERROR, __VA_ARGS__)
#define LOG_W(...) LV_LOG(LOG_WARNING, __VA_ARGS__)
#define LOG_T(...) LV_LOG(LOG_TRACE, __VA_ARGS__)
#define LOG_V(...) LV_LOG(LOG_VERBOSE, __VA_ARGS__)
#define LOG_D(...) LV_LOG(LOG_DEBUG, __VA_ARGS__)
