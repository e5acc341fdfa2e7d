#pragma once

#include "cli/console.h"

namespace qev::pack {

// qev-pack SOURCE_DIR OUTPUT.qev [--level N] [--force]: packs a directory tree into a new
// archive. Returns the exit code; every failure is one "Error: " line.
int runPack(int argc, const char* const* argv, cli::Console& console);

}  // namespace qev::pack
