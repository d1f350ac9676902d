#include "cli/options.h"

#include <cctype>
#include <climits>
#include <cstdint>

#include "taskmgr/scansession.h"
#include "volphotorev/photoitems.h"

namespace {

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

CliCommand CommandOf(const std::string& word) {
    if (word == "drives") return CliCommand::Drives;
    if (word == "scan") return CliCommand::Scan;
    if (word == "recover") return CliCommand::Recover;
    if (word == "image") return CliCommand::Image;
    if (word == "sessions") return CliCommand::Sessions;
    return CliCommand::None;
}

const char* CommandName(CliCommand c) {
    switch (c) {
    case CliCommand::Drives: return "drives";
    case CliCommand::Scan: return "scan";
    case CliCommand::Recover: return "recover";
    case CliCommand::Image: return "image";
    case CliCommand::Sessions: return "sessions list";
    default: return "";
    }
}

bool Allowed(CliCommand c, const std::string& opt) {
    if (opt == "--help" || opt == "-h" || opt == "--image" || opt == "--flash-only" || opt == "--json") return true;
    if (opt == "--drive") return c == CliCommand::Scan || c == CliCommand::Recover || c == CliCommand::Image;
    if (opt == "--type" || opt == "--min-size" || opt == "--names-only")
        return c == CliCommand::Scan || c == CliCommand::Recover;
    if (opt == "--out") return c == CliCommand::Recover || c == CliCommand::Image;
    if (opt == "--keep-folders") return c == CliCommand::Recover;
    if (opt == "--session") return c == CliCommand::Scan || c == CliCommand::Recover;
    if (opt == "--map" || opt == "--retries" || opt == "--whole-disk") return c == CliCommand::Image;
    return false;
}

bool TakesValue(const std::string& opt) {
    return opt == "--image" || opt == "--drive" || opt == "--out" || opt == "--type" || opt == "--min-size" ||
           opt == "--map" || opt == "--retries" || opt == "--session";
}

bool ParseRow(const std::string& text, int& row) {
    if (text.empty() || text.size() > 9) return false;
    long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v < 1 || v > INT_MAX) return false;
    row = static_cast<int>(v);
    return true;
}

}  // namespace

unsigned TypeBit(const std::string& word) {
    const std::string w = Lower(word);
    if (w == "jpeg") return 1u << Jpg;
    if (w == "tif") return 1u << Tiff;
    if (w == "heif" || w == "avif") return 1u << Heic;
    if (w == "other") return 1u << Other;
    for (const PhotoFormat& f : PhotoFormats())
        if (w == f.typeName) return 1u << f.category;
    return 0;
}

std::string TypeWords() {
    std::string words;
    for (int c = 0; c < kPhotoCategoryCount; ++c) {
        if (c == Other) {
            words += "other";
            continue;
        }
        for (const PhotoFormat& f : PhotoFormats())
            if (f.category == c) {
                words += std::string(f.typeName) + ",";
                break;
            }
    }
    return words;
}

bool ParseSize(const std::string& text, uint64_t& bytes) {
    if (text.empty()) return false;
    uint64_t v = 0;
    size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (v > (UINT64_MAX - 9) / 10) return false;
        v = v * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    if (i == 0) return false;
    std::string unit = Lower(text.substr(i));
    if (unit == "b") unit.clear();
    if (!unit.empty() && unit.back() == 'b') unit.pop_back();  // "16kb" as "16k"
    unsigned shift = unit.empty() ? 0 : unit == "k" ? 10 : unit == "m" ? 20 : unit == "g" ? 30 : 99;
    if (shift == 99 || v > (UINT64_MAX >> shift)) return false;
    bytes = v << shift;
    return true;
}

int ParseCommandLine(int argc, const char* const* argv, CliOptions& opts, std::string& error) {
    opts = CliOptions{};
    for (int a = 0; a < argc; ++a) opts.commandLine += (a ? " " : "") + std::string(argv[a]);
    int i = 1;
    if (i >= argc) {
        error = "no command given";
        return -1;
    }
    std::string first = argv[i];
    if (first == "--help" || first == "-h" || first == "help") {
        opts.help = true;
        if (first == "help" && i + 1 < argc) {
            opts.command = CommandOf(argv[i + 1]);
            if (opts.command == CliCommand::None) {
                error = "unknown command '" + std::string(argv[i + 1]) + "'";
                return -1;
            }
        }
        return 0;
    }
    opts.command = CommandOf(first);
    if (opts.command == CliCommand::None) {
        error = "unknown command '" + first + "'";
        return -1;
    }
    if (opts.command == CliCommand::Sessions) {
        // "sessions list [FILE|FOLDER]...": the only verb so far.
        if (i + 1 >= argc || std::string(argv[i + 1]) != "list") {
            if (i + 1 < argc && (std::string(argv[i + 1]) == "--help" || std::string(argv[i + 1]) == "-h")) {
                opts.help = true;
                return 0;
            }
            error = "sessions needs a verb: sessions list [FILE|FOLDER]...";
            return -1;
        }
        ++i;
    }
    bool typesGiven = false;
    for (++i; i < argc; ++i) {
        std::string arg = argv[i];
        if (opts.command == CliCommand::Sessions && arg.rfind("-", 0) != 0) {
            opts.paths.push_back(arg);
            continue;
        }
        std::string value;
        bool hasValue = false;
        if (arg.rfind("--", 0) == 0) {
            const size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                hasValue = true;
            }
        }
        if (!Allowed(opts.command, arg)) {
            error = (arg.rfind("-", 0) == 0 ? "unknown option '" : "unexpected argument '") + arg + "' for " +
                    CommandName(opts.command);
            return -1;
        }
        if (TakesValue(arg)) {
            if (!hasValue) {
                if (i + 1 >= argc) {
                    error = arg + " needs a value";
                    return -1;
                }
                value = argv[++i];
            }
        } else if (hasValue) {
            error = arg + " takes no value";
            return -1;
        }
        if (arg == "--help" || arg == "-h") {
            opts.help = true;
        } else if (arg == "--image") {
            if (value.empty()) {
                error = "--image needs a file";
                return -1;
            }
            opts.images.push_back(value);
        } else if (arg == "--flash-only") {
            opts.flashOnly = true;
        } else if (arg == "--json") {
            opts.json = true;
        } else if (arg == "--keep-folders") {
            opts.keepFolders = true;
        } else if (arg == "--drive") {
            if (!ParseRow(value, opts.drive)) {
                error = "--drive takes a row number from 1 (see the drives command), not '" + value + "'";
                return -1;
            }
        } else if (arg == "--out") {
            if (value.empty()) {
                error = opts.command == CliCommand::Image ? "--out needs a file" : "--out needs a folder";
                return -1;
            }
            opts.out = value;
        } else if (arg == "--map") {
            if (value.empty()) {
                error = "--map needs a file";
                return -1;
            }
            opts.map = value;
        } else if (arg == "--session") {
            if (value.empty()) {
                error = "--session needs a file";
                return -1;
            }
            opts.session = value;
        } else if (arg == "--whole-disk") {
            opts.wholeDisk = true;
        } else if (arg == "--retries") {
            if (value.empty() || value.size() > 3 || value.find_first_not_of("0123456789") != std::string::npos) {
                error = "--retries takes a number of passes from 0 to 999, not '" + value + "'";
                return -1;
            }
            opts.retries = std::stoi(value);
        } else if (arg == "--type") {
            if (!typesGiven) opts.types = 0;
            typesGiven = true;
            size_t start = 0;
            while (start <= value.size()) {
                size_t comma = value.find(',', start);
                if (comma == std::string::npos) comma = value.size();
                const std::string word = value.substr(start, comma - start);
                const unsigned bit = TypeBit(word);
                if (!bit) {
                    error = "unknown photo type '" + word + "' (use " + TypeWords() + ")";
                    return -1;
                }
                opts.types |= bit;
                start = comma + 1;
            }
        } else if (arg == "--names-only") {
            opts.namesOnly = true;
        } else if (arg == "--min-size") {
            if (!ParseSize(value, opts.minSize)) {
                error = "--min-size takes a size such as 16k, 2m or 4096, not '" + value + "'";
                return -1;
            }
        }
    }
    if (opts.help) return 0;
    // With a session the drive can come from the session itself.
    if ((opts.command == CliCommand::Scan || opts.command == CliCommand::Recover || opts.command == CliCommand::Image) &&
        opts.drive == 0 && opts.session.empty()) {
        error = std::string(CommandName(opts.command)) + " needs --drive N (a row of the drives command)";
        return -1;
    }
    if (opts.command == CliCommand::Recover && opts.out.empty()) {
        error = "recover needs --out DIR";
        return -1;
    }
    if (opts.command == CliCommand::Image && opts.out.empty()) {
        error = "image needs --out FILE";
        return -1;
    }
    return 0;
}

std::string HelpText(CliCommand command) {
    switch (command) {
    case CliCommand::Drives:
        return "Usage: lumivista-cli drives [--image FILE]... [--flash-only] [--json]\n"
               "\n"
               "Lists the drives (partitions) that can be scanned, one numbered row each,\n"
               "with its capacity and the disk's model. The row number is what --drive takes.\n"
               "\n"
               "  --image FILE   use this disk image instead of the machine's disks\n"
               "                 (repeat for several; their disks come in the order given)\n"
               "  --flash-only   list only the drives of USB disks (and the images given)\n"
               "  --json         print a JSON array of rows (fields: see the README)\n"
               "  --help         show this help\n"
               "\n"
               "Reading the machine's disks needs root; disk images need nothing special.\n";
    case CliCommand::Scan:
        return "Usage: lumivista-cli scan [--image FILE]... [--flash-only] --drive N\n"
               "                          [--type LIST] [--min-size SIZE] [--names-only]\n"
               "                          [--session FILE] [--json]\n"
               "\n"
               "Scans drive N for photos: the file system's own files (FAT12, FAT16, FAT32,\n"
               "exFAT, NTFS) and the deleted files whose entries or records survive, with\n"
               "their names, folders and times, then every free sector for photo\n"
               "signatures, which finds the other deleted photos.\n"
               "Nothing is written to the drive. On a terminal a progress line is shown on\n"
               "standard error; Ctrl-C stops the scan and lists what was found so far.\n"
               "\n"
               "  --image FILE   use this disk image instead of the machine's disks\n"
               "  --flash-only   number the rows as drives --flash-only does\n"
               "  --drive N      the row of the drives command to scan\n"
               "  --type LIST    only these kinds of photo, comma-separated (default: all):\n"
               "                 jpg, png, bmp, gif, raw (every camera's raw files), heic\n"
               "                 (HEIF and AVIF), tiff, webp, other\n"
               "  --min-size SIZE  leave out photos smaller than SIZE (bytes, or 16k, 2m)\n"
               "  --names-only   list only files whose names end like a photo's; without\n"
               "                 it, files such as \"holiday photo.dat\" are looked inside\n"
               "                 and listed when they begin like a photo\n"
               "  --session FILE save the scan in FILE as it runs (every few seconds); when\n"
               "                 FILE exists, go on with the scan saved there instead of\n"
               "                 starting again (its drive is found by itself, so --drive\n"
               "                 may be left out; the types it was started with hold). A\n"
               "                 session of another drive, or a damaged one, is refused.\n"
               "  --json         print the result as JSON (fields: see the README)\n"
               "  --help         show this help\n"
               "\n"
               "Each photo is marked \"on drive\" when the file system still lists it and\n"
               "\"deleted\" when it was deleted (found in free space or in a deleted record).\n";
    case CliCommand::Recover:
        return "Usage: lumivista-cli recover [--image FILE]... [--flash-only] --drive N --out DIR\n"
               "                             [--type LIST] [--min-size SIZE] [--names-only] [--keep-folders]\n"
               "                             [--session FILE] [--json]\n"
               "\n"
               "Scans drive N and writes every photo found into a new folder\n"
               "\"Recovered Photos(hh-mm-ss)\" inside DIR. DIR must not be on the drive\n"
               "being scanned. Existing files are never replaced: a name that is taken\n"
               "gets a number in front. Each file gets the photo's modification time when\n"
               "the file system kept it.\n"
               "\n"
               "  --image FILE   use this disk image instead of the machine's disks\n"
               "  --flash-only   number the rows as drives --flash-only does\n"
               "  --drive N      the row of the drives command to scan\n"
               "  --out DIR      the folder to put the recovery folder in\n"
               "  --type LIST    only these kinds of photo, comma-separated (default: all):\n"
               "                 jpg, png, bmp, gif, raw, heic, tiff, webp, other\n"
               "  --min-size SIZE  leave out photos smaller than SIZE (bytes, or 16k, 2m)\n"
               "  --names-only   list only files whose names end like a photo's; without\n"
               "                 it, files such as \"holiday photo.dat\" are looked inside\n"
               "                 and listed when they begin like a photo\n"
               "  --keep-folders put each photo into its folder path (DCIM/100CANON/...)\n"
               "                 inside the recovery folder, as it was on the drive\n"
               "  --session FILE recover the photos of the scan saved in FILE (scan --session)\n"
               "                 without scanning again; --drive may be left out\n"
               "  --json         print the result as JSON\n"
               "  --help         show this help\n";
    case CliCommand::Sessions:
        return "Usage: lumivista-cli sessions list [FILE|FOLDER]... [--json]\n"
               "\n"
               "Lists saved scans: the drive each one belongs to, how far it got, the photos\n"
               "found and when it was last saved. Without arguments, the scans the wizard\n"
               "saved (" + DefaultSessionFolder() + "). A file that is no session, or\n"
               "a damaged one, is listed with the reason it is refused.\n"
               "\n"
               "  --json         print a JSON array\n"
               "  --help         show this help\n";
    case CliCommand::Image:
        return "Usage: lumivista-cli image [--image FILE]... [--flash-only] --drive N [--whole-disk]\n"
               "                           --out FILE [--map FILE] [--retries N] [--json]\n"
               "\n"
               "Copies drive N (or, with --whole-disk, the whole disk it is on) into the image\n"
               "file FILE, the way data-recovery people copy a failing drive: the good areas\n"
               "first in large reads, skipping past read errors; then the edges of the bad\n"
               "areas, then the rest of them sector by sector, then N more tries of the\n"
               "sectors that still fail. What cannot be read stays zero in the image. Scan the\n"
               "image afterwards (lumivista-cli scan --image FILE ...): the failing drive is\n"
               "then read only once.\n"
               "\n"
               "A map of what was read is kept in GNU ddrescue's mapfile format and saved every\n"
               "few seconds. Ctrl-C stops the copy with the map saved; the same command given\n"
               "again resumes it (ddrescue can also go on from the map). Nothing is written\n"
               "to the drive; FILE and the map must be on another drive, with room for the\n"
               "whole image.\n"
               "\n"
               "  --image FILE   use this disk image instead of the machine's disks\n"
               "  --flash-only   number the rows as drives --flash-only does\n"
               "  --drive N      the row of the drives command to copy\n"
               "  --whole-disk   copy the whole disk that drive N is on\n"
               "  --out FILE     the image file to write (resumed when its map exists)\n"
               "  --map FILE     the map file (default: FILE.map)\n"
               "  --retries N    passes over the bad sectors after the rest (default 0)\n"
               "  --json         print the result as JSON\n"
               "  --help         show this help\n"
               "\n"
               "Exit status: 0 when the copy ran to its end (the summary tells what stayed\n"
               "unreadable), 1 when it was stopped or failed.\n";
    default:
        return "Usage: lumivista-cli COMMAND [OPTIONS]\n"
               "\n"
               "Recovers deleted or lost photos (JPEG, PNG, GIF, BMP, camera RAW, HEIC, TIFF, WebP)\n"
               "from a drive or a disk image.\n"
               "\n"
               "Commands:\n"
               "  drives    list the drives that can be scanned\n"
               "  scan      scan a drive and list the photos found\n"
               "  recover   scan a drive and write the photos found into a folder\n"
               "  image     copy a failing drive into an image file first, ddrescue-style\n"
               "  sessions  list saved scans (sessions list)\n"
               "\n"
               "lumivista-cli COMMAND --help shows a command's options;\n"
               "lumivista-cli --version shows the program's version.\n"
               "Exit status: 0 success, 1 failure, 2 wrong usage.\n";
    }
}
