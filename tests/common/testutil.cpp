#include "testutil.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <sys/wait.h>

namespace testutil {

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "lumivista-test-XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data())) m_path = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
}

std::string Capture(const std::string& command, int* status) {
    std::string out;
    std::string cmd = "bash -c '" ;
    for (char c : command) {
        if (c == '\'') cmd += "'\\''";
        else cmd += c;
    }
    cmd += "' 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) {
        if (status) *status = -1;
        return out;
    }
    std::array<char, 4096> buf{};
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
    int rc = pclose(p);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

int Run(const std::string& command) {
    int status = 0;
    std::string out = Capture(command, &status);
    if (status != 0) std::cerr << "command failed (" << status << "): " << command << "\n" << out << std::endl;
    return status;
}

bool HaveTool(const std::string& name) { return Run("command -v " + name + " >/dev/null") == 0; }

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
    // One read of the whole file: photos of several megabytes are read often
    // in sanitizer builds, where a byte-by-byte stream is slow.
    std::ifstream f(path, std::ios::binary | std::ios::ate);
    if (!f) return {};
    const std::streamoff size = f.tellg();
    if (size <= 0) return {};
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    f.seekg(0);
    if (!f.read(reinterpret_cast<char*>(bytes.data()), size)) return {};
    return bytes;
}

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& data) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(f);
}

bool FlipByte(const std::string& path, uint64_t offset) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    char c = 0;
    if (!f.seekg(static_cast<std::streamoff>(offset)) || !f.get(c)) return false;
    c = static_cast<char>(~static_cast<unsigned char>(c));
    return static_cast<bool>(f.seekp(static_cast<std::streamoff>(offset)).put(c).flush());
}

std::string ToolsDir() { return LUMIVISTA_TOOLS_DIR; }

std::string CachedImage(const std::string& name, const std::string& command, int* status) {
    const std::string dir = std::string(LUMIVISTA_BINARY_DIR) + "/test-images";
    std::filesystem::create_directories(dir);
    char key[17];
    std::snprintf(key, sizeof key, "%016zx", std::hash<std::string>{}(command));
    const std::string image = dir + "/" + name + "-" + key + ".img";
    // Test programs run in parallel: one builds, the others wait for it.
    int rc = 0;
    Capture("exec 9>'" + image + ".lock'; flock 9; test -f '" + image + "' || { IMAGE='" + image + ".part'; export IMAGE; " +
                command + " && mv \"$IMAGE\" '" + image + "'; }",
            &rc);
    if (status) *status = rc;
    if (rc != 0) {
        std::remove((image + ".part").c_str());
        return {};
    }
    return image;
}

std::string PhotosDir() {
    static std::string dir = [] {
        const char* home = getenv("HOME");
        std::string cache = getenv("XDG_CACHE_HOME") ? getenv("XDG_CACHE_HOME")
                                                      : std::string(home ? home : "/tmp") + "/.cache";
        std::string target = cache + "/lumivista-test-photos";
        if (Run("bash " + ToolsDir() + "/photos.sh " + target + " >/dev/null") != 0) return std::string();
        return target;
    }();
    return dir;
}

std::string FormatSamplesDir() {
    static std::string dir = [] {
        const char* home = getenv("HOME");
        std::string cache = getenv("XDG_CACHE_HOME") ? getenv("XDG_CACHE_HOME")
                                                      : std::string(home ? home : "/tmp") + "/.cache";
        std::string target = cache + "/lumivista-format-samples";
        if (Run("bash " + ToolsDir() + "/format-samples.sh " + target + " >/dev/null") != 0) return std::string();
        return target;
    }();
    return dir;
}

}  // namespace testutil
