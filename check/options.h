// The command line of qev-check.
#pragma once

#include <optional>
#include <string>

#include "system/expected.h"
#include "console/arguments.h"

namespace qev::check {

inline constexpr const char* kUsage =
    "Usage: qev-check ARCHIVE [--quick] [--list] [--json] [-j N] [--progress | --no-progress]";

struct Options : CommonOptions {
    std::string archive;
    bool quick = false;  // structure only
    bool list = false;
    bool json = false;
};

// The options, or the text of the one error line (without "Error: ").
Expected<Options, std::string> parseOptions(int argc, const char* const* argv);

}  // namespace qev::check
