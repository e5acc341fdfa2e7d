#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "archive/read/archive_reader.h"
#include "archive/read/title_name.h"
#include "shell/console.h"

namespace qev::tool {

// The title folders as one JSON array, without the line end.
std::string titleListJson(const ArchiveIndex& index);

// `list`: the title folders as one JSON array on one line.
int runListCommand(const char* archivePath, Console& console);

}  // namespace qev::tool
