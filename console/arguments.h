// Options that several programs share.
#pragma once

#include <string>

namespace qev {

// When argv[i] is -j N, -jN, --jobs N or --jobs=N: sets `jobs` (1 to 1024), moves `i` past
// a separate value and returns true; `error` then holds the error line's text (without
// "Error: ") if the value is missing or not a number in range. False for anything else.
bool takeJobsOption(int argc, const char* const* argv, int& i, unsigned& jobs, std::string& error);

}  // namespace qev
