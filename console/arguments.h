// Options that several programs share.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qev {

// When argv[i] is -j N, -jN, --jobs N or --jobs=N: sets `jobs` (1 to 1024), moves `i` past
// a separate value and returns true; `error` then holds the error line's text (without
// "Error: ") if the value is missing or not a number in range. False for anything else.
bool takeJobsOption(int argc, const char* const* argv, int& i, unsigned& jobs, std::string& error);

// What the whole-archive programs' command lines share.
struct CommonOptions {
    std::vector<std::string> positional;
    unsigned jobs = 0;               // 0: one per core
    std::optional<bool> progress;    // unset: only on a terminal
    bool help = false;
    bool version = false;
};

// Parses `--`, `-j`/`--jobs`, `--progress`/`--no-progress`, `-h`/`--help`, `--version` and
// positional arguments into `common`; any other option goes to `own`, which returns false
// for one it does not know. Returns the error line's text (without "Error: "), or "".
std::string parseOptions(int argc, const char* const* argv, CommonOptions& common,
                         const std::function<bool(std::string_view option)>& own);

}  // namespace qev
