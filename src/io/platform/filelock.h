// Keeping a file to one running program: an advisory lock that lasts as long
// as the file stays open, and emptying a file only once it is held.
#pragma once

#include <cstdio>

// Takes this process's exclusive lock on an open regular file, without
// waiting. 0 when held (or when the file is no regular file, such as
// /dev/null, which nobody needs to keep); -1 when another open of the file,
// in this process or another, holds it.
int LockOpenFile(FILE* file);

// Empties an open regular file; others are left alone. 0, or -1.
int EmptyOpenFile(FILE* file);

// True when both open files are the same file on disk.
bool SameOpenFile(FILE* a, FILE* b);

// This process's number.
long ProcessId();
