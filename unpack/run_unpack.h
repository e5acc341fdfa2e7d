#pragma once

#include "shell/console.h"

namespace qev::unpack {

// qev-unpack ARCHIVE DEST [PATH...] [options]: writes the whole archive, or the folders and
// files named, into DEST. Returns the exit code; every failure is one "Error: " line.
int runUnpack(int argc, const char* const* argv, Console& console);

}  // namespace qev::unpack
