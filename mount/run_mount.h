#pragma once

#include "shell/console.h"

namespace qev::mount {

// qev-mount ARCHIVE MOUNTPOINT [options]: checks the arguments, opens the archive and serves
// it until it is unmounted. Returns the exit code; every failure is one "Error: " line.
int runMount(int argc, const char* const* argv, Console& console);

// How many readers serve reads: one per core, at most kMaxReaders.
unsigned mountReaderCount();
inline constexpr unsigned kMaxReaders = 4;

}  // namespace qev::mount
