#pragma once

#include "shell/console.h"

namespace qev::tool {

// The whole tool: checks the arguments, runs one command and returns the exit code.
// argv[0] is the invocation name shown in the usage text; it may be absent (argc 0).
int runTool(int argc, const char* const* argv, Console& console);

}  // namespace qev::tool
