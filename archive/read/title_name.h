// Title folders: the folders at an archive's root named after a title ID and a version,
// as in 0005000010101D00_v64.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "archive/read/archive_index.h"

namespace qev {

struct TitleEntry {
    std::string folderName;  // the whole name as stored
    std::string titleId;     // the 16 hexadecimal digits, letter case as stored
    int32_t version = 0;
    NodeId node = kInvalidNode;  // its entry, when found in an archive
};

// Whether `name` is a title folder name: 16 hexadecimal digits, "_v", then decimal digits
// whose value fits a signed 32-bit integer. Fills `entry` only when it is.
bool parseTitleFolderName(std::string_view name, TitleEntry& entry);

// The root's child directories that are title folders, in stored order: what `list` shows.
std::vector<TitleEntry> rootTitles(const ArchiveIndex& index);

}  // namespace qev
