// Files a copy of a drive is written to: the image itself, made sparse so
// that what was never read stays zero without taking room, and small files
// (the map of the copy) that are replaced whole so that a crash leaves the
// old one or the new one, never a mixture.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class IImageOutput {
public:
    virtual ~IImageOutput() = default;
    // Writes `len` bytes at byte offset `off`: the bytes written, or -1 with
    // a platform error code in *err.
    virtual int64_t WriteAt(uint64_t off, const void* buf, size_t len, int* err) = 0;
    // Makes everything written so far durable. 0, or -1 with *err.
    virtual int Sync(int* err) = 0;
    // Bytes in the file.
    virtual uint64_t Size() const = 0;
};

// Opens the image file at `path` for writing, creating it when missing
// (existing contents are kept, never truncated), and extends it to `size`
// bytes when it is shorter; the added part reads as zeros and takes no room.
// Null with *err on failure.
std::unique_ptr<IImageOutput> OpenImageOutput(const std::string& path, uint64_t size, int* err);

// Replaces the file at `path` with `contents`: written to a temporary file
// beside it, flushed, then renamed over it. 0, or -1 with *err.
int ReplaceFileContents(const std::string& path, const std::string& contents, int* err);

// Reads a whole file of at most `limit` bytes. 0, or -1 with *err (ENOENT
// when it does not exist, EFBIG when it is larger than `limit`).
int ReadSmallFile(const std::string& path, std::string& out, uint64_t limit, int* err);

// The size of a file in bytes: 0, or -1 with *err.
int FileSize(const std::string& path, uint64_t& bytes, int* err);

// True when both paths name the same existing file (or device).
bool IsSameFile(const std::string& a, const std::string& b);
