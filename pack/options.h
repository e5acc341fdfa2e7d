// The command line of qev-pack.
#pragma once

#include <cstdint>
#include <string>

#include "console/program.h"

namespace qev::pack {

inline constexpr std::string_view kUsage =
    "Usage: qev-pack SOURCE_DIR OUTPUT.qev [--level N] [-j N] [--no-dedup] [--force] "
    "[--recovery PERCENT] [--progress | --no-progress] [-q]";

struct Options : CommonOptions {
    std::string source;
    std::string output;
    int level = 3;
    bool dedup = true;
    uint32_t recovery = 0;  // the recovery record's size in hundredths of a percent; 0: none
    bool force = false;
    bool quiet = false;
};

// qev-pack's own options, then the common ones, writing into `o`.
OptionTable optionTable(Options& o);

// Takes the positional arguments into `o`; the error line's text (without "Error: "), or "".
std::string takeArguments(Options& o);

}  // namespace qev::pack
