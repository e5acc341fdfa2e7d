#pragma once

#include <filesystem>
#include <optional>

namespace qev::tool {

// The archive path argument in the platform's native path form, or nothing when it cannot
// be converted (invalid in the file-interface code page, or too long). On POSIX systems
// the bytes are taken unchanged.
std::optional<std::filesystem::path> toNativePath(const char* argument);

}  // namespace qev::tool
