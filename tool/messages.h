// The messages only qev-tool prints; those every program shares are in shell/console.h.
#pragma once

#include <string_view>

namespace qev::tool {

inline constexpr std::string_view kUnknownCommand = "Error: Unknown command: ";
inline constexpr std::string_view kMissingArchivePath = "Error: Missing QEV file path";
inline constexpr std::string_view kMissingArchiveOrFilePath = "Error: Missing QEV file path or file path";
inline constexpr std::string_view kFileNotFound = "Error: File not found or is not a file: ";
inline constexpr std::string_view kIncompleteRead = "Error: Failed to read complete file";

}  // namespace qev::tool
