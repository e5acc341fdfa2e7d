// Paths, names and system messages as text: inside the toolset every name and path is
// UTF-8; Windows gets and gives wide strings, POSIX the bytes as they are.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace qev {

// A path from UTF-8 (on POSIX, from bytes kept as they are).
std::filesystem::path pathFromUtf8(std::string_view text);
// A path as UTF-8, for messages and for names stored in an archive. On Windows a lone
// surrogate, which UTF-8 cannot carry, becomes U+FFFD.
std::string utf8FromPath(const std::filesystem::path& path);
// Whether a wide name has a UTF-8 form (on POSIX every name has).
bool hasUtf8Form(const std::filesystem::path& name);

// A path argument as the process received it, in the code page the system's file functions
// read narrow strings in (on POSIX the bytes unchanged); nothing when it cannot be
// converted (invalid in that code page, or too long).
std::optional<std::filesystem::path> pathFromNarrowArgument(const char* argument);

// On Windows, `path` made absolute in the "\\?\" form, which no MAX_PATH limit applies to
// (Windows takes it as it stands, so it is normalised first); elsewhere `path` itself.
std::filesystem::path longPathForm(const std::filesystem::path& path);

// `name` in upper case, as filesystems that ignore letter case compare names: Windows' own
// table there, Unicode's simple mappings elsewhere. Bytes that are not UTF-8 stay as they are.
std::string upcaseName(std::string_view name);

// The text of the last failed system call (errno on POSIX, GetLastError on Windows).
std::string lastSystemError();
// Its code, for systemErrorText.
unsigned long lastSystemErrorCode();
// The text of an error code of the system (errno, or a Windows error code).
std::string systemErrorText(unsigned long code);

}  // namespace qev
