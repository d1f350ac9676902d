// Helpers shared by the test programs: temporary folders, shell commands
// that build images with real tools, and the real photo fixtures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testutil {

// A fresh folder under /tmp, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Runs a shell command (bash -c). Returns its exit status; on failure the
// command and its output go to stderr so a failing test shows why.
int Run(const std::string& command);
// Runs a command and returns what it printed on standard output.
std::string Capture(const std::string& command, int* status = nullptr);
// True when a program is on the PATH.
bool HaveTool(const std::string& name);

std::vector<uint8_t> ReadFileBytes(const std::string& path);
bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& data);
// Inverts every bit of the byte at `offset`, so that it surely differs from
// what was there (a fixed value may already be the byte, say a CRC's).
bool FlipByte(const std::string& path, uint64_t offset);

// The folder of real photos made by tools/photos.sh (cached across runs).
// Empty when they cannot be had; callers GTEST_SKIP then.
std::string PhotosDir();
// The folder of small photos of every structure the format readers follow,
// made by tools/format-samples.sh (cached across runs). Empty when they
// cannot be made; callers GTEST_SKIP then.
std::string FormatSamplesDir();
// The tools/ folder of the source tree.
std::string ToolsDir();

// An image built once per build tree by `command` (run with bash, the image's
// path in $IMAGE) and reused while the command's text stays the same: tests
// that only read an image share it instead of building it again. Returns the
// path, or empty when the command failed; `status` gets its exit status (77:
// the machine lacks what it needs, the caller skips).
std::string CachedImage(const std::string& name, const std::string& command, int* status = nullptr);

}  // namespace testutil
