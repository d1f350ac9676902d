// Linux: whole-file flock locks, which belong to the open file and end with it.
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "io/platform/filelock.h"

namespace {

bool IsRegular(int fd, struct stat& st) { return fstat(fd, &st) == 0 && S_ISREG(st.st_mode); }

}  // namespace

int LockOpenFile(FILE* file) {
    if (!file) return -1;
    const int fd = fileno(file);
    struct stat st {};
    if (!IsRegular(fd, st)) return 0;
    return flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : -1;
}

int EmptyOpenFile(FILE* file) {
    if (!file) return -1;
    const int fd = fileno(file);
    struct stat st {};
    if (!IsRegular(fd, st)) return 0;
    return ftruncate(fd, 0) == 0 ? 0 : -1;
}

bool SameOpenFile(FILE* a, FILE* b) {
    struct stat sa {}, sb {};
    if (!a || !b || fstat(fileno(a), &sa) != 0 || fstat(fileno(b), &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

long ProcessId() { return static_cast<long>(getpid()); }
