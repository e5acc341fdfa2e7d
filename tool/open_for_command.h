#pragma once

#include <memory>

#include "archive/read/archive_reader.h"
#include "shell/console.h"

namespace qev::tool {

// The first step of every command: converts the archive path argument and opens it. On
// failure reports "Failed to open" with the argument as typed and returns null.
std::unique_ptr<ArchiveReader> openForCommand(const char* archivePath, Console& console);

}  // namespace qev::tool
