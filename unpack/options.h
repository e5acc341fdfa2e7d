// The command line of qev-unpack.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "system/expected.h"
#include "console/arguments.h"

namespace qev::unpack {

inline constexpr const char* kUsage =
    "Usage: qev-unpack ARCHIVE DEST [PATH...] [-j N] [-f] [--progress | --no-progress] [-q]";

struct Options : CommonOptions {
    std::string archive;
    std::string dest;
    std::vector<std::string> paths;  // empty for the whole archive
    bool force = false;
    bool quiet = false;
};

// The options, or the text of the one error line (without "Error: ").
Expected<Options, std::string> parseOptions(int argc, const char* const* argv);

}  // namespace qev::unpack
