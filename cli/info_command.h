#pragma once

#include "cli/console.h"

namespace qev::cli {

// `info`: the archive path and the number of entries directly under the root, as one
// JSON object on one line.
int runInfoCommand(const char* archivePath, Console& console);

}  // namespace qev::cli
