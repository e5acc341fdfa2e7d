#pragma once

#include "shell/console.h"

namespace qev::tool {

// `extract`: the whole stored file, byte for byte, to standard output; nothing at all
// when any of it cannot be read.
int runExtractCommand(const char* archivePath, const char* filePath, Console& console);

}  // namespace qev::tool
