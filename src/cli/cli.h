// lumivista-cli: list drives, scan one, recover its photos.
#pragma once

// Runs the command line; returns the exit status (0, 1 failure, 2 usage).
int RunCli(int argc, const char* const* argv);
