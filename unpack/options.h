// The command line of qev-unpack.
#pragma once

#include <string>
#include <vector>

#include "shell/program.h"

namespace qev::unpack {

inline constexpr const char* kUsage =
    "Usage: qev-unpack ARCHIVE [DEST [PATH...]] [-j N] [-f] [--no-sync] [--progress | --no-progress] [-q]";

struct Options : CommonOptions {
    std::string archive;
    std::string dest;
    std::vector<std::string> paths;  // empty for the whole archive
    bool force = false;
    bool quiet = false;
    bool noSync = false;  // scratch space: the end does not wait for the drive
};

// qev-unpack's own options, then the common ones, writing into `o`.
OptionTable optionTable(Options& o);

// Takes the positional arguments into `o`; the error line's text (without "Error: "), or "".
std::string takeArguments(Options& o);

}  // namespace qev::unpack
