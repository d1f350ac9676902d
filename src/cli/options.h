// The command line: commands, options and their help texts.
#pragma once

#include <string>
#include <vector>

enum class CliCommand { None, Drives, Scan, Recover };

struct CliOptions {
    CliCommand command = CliCommand::None;
    bool help = false;                // --help: print the command's help and stop
    std::vector<std::string> images;  // --image FILE..., in the order given
    bool flashOnly = false;
    bool json = false;
    int drive = 0;                    // --drive N, rows count from 1; 0 when not given
    std::string out;                  // --out DIR
    unsigned types = 0x1F;            // --type: bit c for photo category c (4 = other)
    bool keepFolders = false;         // --keep-folders: photos go into their folder paths
};

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Fills `opts` from argv. 0, or -1 with a one-line reason in `error`.
int ParseCommandLine(int argc, const char* const* argv, CliOptions& opts, std::string& error);

// The help text of a command (the program's overview for None).
std::string HelpText(CliCommand command);

// The bit of --type for a word ("jpg", "png", "bmp", "gif", "other"), or 0.
unsigned TypeBit(const std::string& word);
