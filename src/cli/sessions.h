// lumivista-cli's side of saved scans: the words for a session's state and
// the sessions list command.
#pragma once

#include <string>

#include "cli/options.h"
#include "taskmgr/scansession.h"

// How far a saved scan got: "finished", "raw scan at 42 %", "walk not finished".
std::string SessionStateText(const SessionInfo& info);
// What names the session's drive for people: its drive text and its image
// path or disk serial.
std::string SessionDriveText(const SessionIdentity& identity);

// sessions list [FILE|FOLDER]...: one line (or JSON object) per session
// file; files that are refused are listed with the reason. Exit status.
int SessionsListCommand(const CliOptions& opts);
