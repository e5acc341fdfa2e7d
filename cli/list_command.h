#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "archive/archive_reader.h"
#include "console/console.h"

namespace qev::cli {

struct TitleEntry {
    std::string folderName;  // the whole name as stored
    std::string titleId;     // the 16 hexadecimal digits, letter case as stored
    int32_t version = 0;
};

// Whether `name` is a title folder name: 16 hexadecimal digits, "_v", then decimal digits
// whose value fits a signed 32-bit integer. Fills `entry` only when it is.
bool parseTitleFolderName(std::string_view name, TitleEntry& entry);

// The root's child directories that are title folders, in tree order.
std::vector<TitleEntry> collectTitles(const ArchiveReader& reader);

// The title folders as one JSON array, without the line end.
std::string titleListJson(const ArchiveReader& reader);

// `list`: the title folders as one JSON array on one line.
int runListCommand(const char* archivePath, Console& console);

}  // namespace qev::cli
