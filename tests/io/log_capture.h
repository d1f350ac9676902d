// Sends the process log to a file in a temporary folder for one test, so the
// test can read what was logged.
#pragma once

#include <string>

#include "testutil.h"
#include "io/log.h"

class LogCapture {
public:
    LogCapture() : m_path(m_dir / "Lumivista.log") { m_ok = OpenLogFile(m_path.c_str()) == 0; }
    bool ok() const { return m_ok; }
    const std::string& path() const { return m_path; }
    std::string Text() const {
        auto bytes = testutil::ReadFileBytes(m_path);
        return std::string(bytes.begin(), bytes.end());
    }

private:
    testutil::TempDir m_dir;
    std::string m_path;
    bool m_ok = false;
};
