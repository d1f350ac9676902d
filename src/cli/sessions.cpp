#include "cli/sessions.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <vector>

#include "cli/json.h"

namespace fs = std::filesystem;

std::string SessionStateText(const SessionInfo& info) {
    switch (info.state) {
    case SessionState::Finished: return "finished";
    case SessionState::Walking: return "walk not finished";
    default: break;
    }
    const uint64_t len = info.identity.partLength;
    const int percent = len ? static_cast<int>(static_cast<double>(info.position.next) * 100.0 / static_cast<double>(len)) : 0;
    return "raw scan at " + std::to_string(std::min(percent, 99)) + " %";
}

std::string SessionDriveText(const SessionIdentity& id) {
    std::string text = id.driveText.empty() ? "partition at sector " + std::to_string(id.partOffset) : id.driveText;
    if (!id.imagePath.empty()) text += ", image " + id.imagePath;
    else if (!id.diskSerial.empty()) text += ", disk serial " + id.diskSerial;
    else if (!id.devicePath.empty()) text += ", " + id.devicePath;
    return text;
}

namespace {

std::string SavedText(int64_t t, bool utc) {
    const std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    if (!(utc ? gmtime_r(&tt, &tm) : localtime_r(&tt, &tm))) return "?";
    char text[64];
    std::strftime(text, sizeof text, utc ? "%Y-%m-%dT%H:%M:%SZ" : "%Y-%m-%d %H:%M", &tm);
    return text;
}

// The session files named: folders give the session files in them, by name.
std::vector<std::string> SessionFiles(const std::vector<std::string>& paths) {
    std::vector<std::string> files;
    for (const std::string& p : paths) {
        std::error_code ec;
        if (!fs::is_directory(p, ec)) {
            files.push_back(p);
            continue;
        }
        std::vector<std::string> inside;
        for (fs::directory_iterator it(p, ec), end; !ec && it != end; it.increment(ec)) {
            const fs::path& f = it->path();
            if (f.filename().string().size() > std::char_traits<char>::length(kSessionSuffix) &&
                f.filename().string().ends_with(kSessionSuffix))
                inside.push_back(f.string());
        }
        std::sort(inside.begin(), inside.end());
        files.insert(files.end(), inside.begin(), inside.end());
    }
    return files;
}

}  // namespace

int SessionsListCommand(const CliOptions& opts) {
    const std::vector<std::string> paths = opts.paths.empty() ? std::vector<std::string>{DefaultSessionFolder()}
                                                              : opts.paths;
    const std::vector<std::string> files = SessionFiles(paths);
    if (opts.json) std::printf("[");
    bool first = true;
    for (const std::string& file : files) {
        std::string error;
        std::unique_ptr<CScanSession> s = CScanSession::Open(file, error);
        if (opts.json) {
            std::printf("%s\n  {\"file\": %s", first ? "" : ",", JsonString(file).c_str());
            if (!s) {
                std::printf(", \"error\": %s}", JsonString(error).c_str());
            } else {
                const SessionInfo& i = s->Info();
                std::printf(", \"drive\": %s, \"image\": %s, \"serial\": %s, \"offset\": %llu, \"sectors\": %llu, "
                            "\"state\": %s, \"position\": %lld, \"photos\": %lld, \"saved\": %s}",
                            JsonString(i.identity.driveText).c_str(), JsonString(i.identity.imagePath).c_str(),
                            JsonString(i.identity.diskSerial).c_str(),
                            static_cast<unsigned long long>(i.identity.partOffset),
                            static_cast<unsigned long long>(i.identity.partLength),
                            JsonString(i.state == SessionState::Finished  ? "finished"
                                       : i.state == SessionState::RawScan ? "raw scan"
                                                                          : "walk")
                                .c_str(),
                            static_cast<long long>(i.position.next), static_cast<long long>(i.photos),
                            JsonString(SavedText(i.updated, true)).c_str());
            }
        } else if (!s) {
            std::printf("%s\n  refused: %s\n", file.c_str(), error.c_str());
        } else {
            const SessionInfo& i = s->Info();
            std::printf("%s\n  %s; %s, %lld photo%s, saved %s\n", file.c_str(), SessionDriveText(i.identity).c_str(),
                        SessionStateText(i).c_str(), static_cast<long long>(i.photos), i.photos == 1 ? "" : "s",
                        SavedText(i.updated, false).c_str());
        }
        first = false;
    }
    if (opts.json) std::printf("%s]\n", first ? "" : "\n");
    else if (files.empty()) std::printf("No saved scans in %s.\n", paths.front().c_str());
    std::fflush(stdout);
    return 0;
}
