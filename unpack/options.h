// The command line of qev-unpack.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "archive/expected.h"

namespace qev::unpack {

inline constexpr const char* kUsage =
    "Usage: qev-unpack ARCHIVE DEST [PATH...] [-j N] [-f] [--progress | --no-progress] [-q]";

struct Options {
    std::string archive;
    std::string dest;
    std::vector<std::string> paths;  // empty for the whole archive
    unsigned jobs = 0;               // 0: one per core
    bool force = false;
    std::optional<bool> progress;    // unset: only on a terminal
    bool quiet = false;
    bool help = false;
    bool version = false;
};

// The options, or the text of the one error line (without "Error: ").
Expected<Options, std::string> parseOptions(int argc, const char* const* argv);

}  // namespace qev::unpack
