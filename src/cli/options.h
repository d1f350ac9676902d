// The command line: commands, options and their help texts.
#pragma once

#include <string>
#include <vector>

#include "photoformats/photoformat.h"

enum class CliCommand { None, Drives, Scan, Recover, Image, Sessions };

struct CliOptions {
    CliCommand command = CliCommand::None;
    bool help = false;                // --help: print the command's help and stop
    std::vector<std::string> images;  // --image FILE..., in the order given
    bool flashOnly = false;
    bool json = false;
    int drive = 0;                    // --drive N, rows count from 1; 0 when not given
    std::string out;                  // --out DIR (recover) or FILE (image)
    std::string map;                  // --map FILE (image)
    bool wholeDisk = false;           // --whole-disk (image): the disk that drive N is on
    int retries = 0;                  // --retries N (image)
    std::string commandLine;          // the words given, for the image's map
    unsigned types = (1u << kPhotoCategoryCount) - 1;  // --type: bit c for photo category c
    uint64_t minSize = 0;             // --min-size, bytes
    bool namesOnly = false;           // --names-only: files are not looked inside
    bool keepFolders = false;         // --keep-folders: photos go into their folder paths
    std::string session;              // --session FILE (scan, recover)
    std::vector<std::string> paths;   // sessions list: session files or folders of them
};

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Fills `opts` from argv. 0, or -1 with a one-line reason in `error`.
int ParseCommandLine(int argc, const char* const* argv, CliOptions& opts, std::string& error);

// The help text of a command (the program's overview for None).
std::string HelpText(CliCommand command);

// The bit of --type for a word (a format's type name from the table of
// formats, such as "jpg", "raw", "heic", "webp"; or "other"), or 0.
unsigned TypeBit(const std::string& word);

// The type words --type takes, comma-separated, in the result's order.
std::string TypeWords();

// A --min-size value: bytes, or with a k, m or g suffix (powers of 1024).
// False when it is no such size.
bool ParseSize(const std::string& text, uint64_t& bytes);
