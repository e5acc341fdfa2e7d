#pragma once

#include <string>
#include <string_view>

#include "archive/read/archive_reader.h"
#include "shell/console.h"

namespace qev::tool {

// The summary object for an archive opened from `archivePath`, without the line end.
std::string summaryJson(const ArchiveIndex& index, std::string_view archivePath);

// `info`: the archive path and the number of entries directly under the root, as one
// JSON object on one line.
int runInfoCommand(const char* archivePath, Console& console);

}  // namespace qev::tool
