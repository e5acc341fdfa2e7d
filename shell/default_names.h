// What one argument means where a program is given no second: qev-pack DIR writes DIR.qev
// beside DIR, qev-unpack GAMES.qev writes the folder GAMES beside the archive.
#pragma once

#include <optional>
#include <string>

namespace qev {

// `folder` with its closing separators taken off, and ".qev" after it; nothing when the path
// names no folder of its own ("", ".", "..", "/", "C:\").
std::optional<std::string> archiveBeside(const std::string& folder);

// The last name of a path, its closing separators taken off: "titles" of "/x/titles/".
std::string lastPathName(const std::string& path);

// `archive` without its ".qev" (in any letter case); nothing when its name does not end so,
// or is that alone.
std::optional<std::string> folderBeside(const std::string& archive);

}  // namespace qev
