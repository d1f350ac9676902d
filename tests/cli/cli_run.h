// Running lumivista-cli from the tests, and the images they scan.
#pragma once

#include <string>
#include <vector>

#include "testutil.h"

namespace clirun {

struct Result {
    int status = -1;
    std::string out;  // standard output
    std::string err;  // standard error
};

inline std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') q += "'\\''";
        else q += c;
    }
    return q + "'";
}

// Runs the program with `args` (each passed as one word), behind `prefix`
// (such as a command that changes the user). The log goes to a folder of its
// own; standard error is a file, so never a terminal.
inline Result Cli(const std::vector<std::string>& args, const std::string& prefix = "",
                  const std::string& stateHome = "") {
    static testutil::TempDir state;
    testutil::TempDir tmp;
    std::string cmd = "XDG_STATE_HOME=" + Quote(stateHome.empty() ? state.path() : stateHome) + " " + prefix +
                      Quote(LUMIVISTA_CLI);
    for (const auto& a : args) cmd += " " + Quote(a);
    cmd += " 2>" + Quote(tmp / "err");
    Result r;
    // Capture adds its own 2>&1, which the inner redirection overrides.
    r.out = testutil::Capture(cmd, &r.status);
    const auto err = testutil::ReadFileBytes(tmp / "err");
    r.err.assign(err.begin(), err.end());
    return r;
}

inline std::string Sha256(const std::string& path) {
    return testutil::Capture("sha256sum " + Quote(path) + " | cut -d' ' -f1");
}

}  // namespace clirun
