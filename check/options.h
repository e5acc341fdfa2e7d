// The command line of qev-check.
#pragma once

#include <string>
#include <vector>

#include "shell/program.h"

namespace qev::check {

inline constexpr const char* kUsage =
    "Usage: qev-check ARCHIVE... [--quick] [--list] [--json] [--against DIR] [--repair] [-j N] [--progress | "
    "--no-progress]";

struct Options : CommonOptions {
    std::string archive;                // the one being checked
    std::vector<std::string> archives;  // every one named, a folder standing for its *.qev
    bool quick = false;                 // structure only
    bool list = false;
    bool json = false;
    bool repair = false;  // rebuild damaged bytes from the recovery record, in place
    std::string against;  // a folder to compare the archive with, file by file
};

// qev-check's own options, then the common ones, writing into `o`.
OptionTable optionTable(Options& o);

// Takes the positional arguments into `o`; the error line's text (without "Error: "), or "".
std::string takeArguments(Options& o);

}  // namespace qev::check
