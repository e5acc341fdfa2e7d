// The command line of qev-pack.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "shell/program.h"

namespace qev::pack {

inline constexpr std::string_view kUsage =
    "Usage: qev-pack SOURCE_DIR [OUTPUT.qev] [--level N] [-j N] [--no-dedup] [--force] "
    "[--recovery PERCENT] [--progress | --no-progress] [-q]";

// Both forms, for --help.
inline constexpr std::string_view kHelpUsage =
    "Usage: qev-pack SOURCE_DIR [OUTPUT.qev] [--level N] [-j N] [--no-dedup] [--force] "
    "[--recovery PERCENT] [--progress | --no-progress] [-q]\n"
    "       qev-pack --update ARCHIVE [--add DIR]... [--remove PATH]... [--replace] [--recompress] [--level N] "
    "[--recovery PERCENT | --no-recovery] [-o OUTPUT] [-j N] [--force] [-q]";

struct Options : CommonOptions {
    std::string source;
    std::string output;
    int level = 3;
    bool dedup = true;
    uint32_t recovery = 0;  // the recovery record's size in hundredths of a percent; 0: none
    bool force = false;
    bool quiet = false;
    bool levelGiven = false;
    // --update: the archive changed, what is added and removed, and how.
    std::string update;
    std::vector<std::string> adds;
    std::vector<std::string> removes;
    bool replace = false;
    bool recompress = false;
    bool noRecovery = false;
    std::string outputOption;  // -o
};

// qev-pack's own options, then the common ones, writing into `o`.
OptionTable optionTable(Options& o);

// Takes the positional arguments into `o`; the error line's text (without "Error: "), or "".
std::string takeArguments(Options& o);

}  // namespace qev::pack
