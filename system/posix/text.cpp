#include "system/text.h"

#include <cerrno>
#include <cstring>

namespace qev {

std::filesystem::path pathFromUtf8(std::string_view text) { return std::filesystem::path(std::string(text)); }

std::string utf8FromPath(const std::filesystem::path& path) { return path.native(); }

bool hasUtf8Form(const std::filesystem::path&) { return true; }

std::optional<std::filesystem::path> pathFromNarrowArgument(const char* argument) {
    return std::filesystem::path(std::string(argument));
}

std::filesystem::path longPathForm(const std::filesystem::path& path) { return path; }

std::optional<std::string> upcaseAsWindows(std::string_view) { return std::nullopt; }

std::string systemErrorText(unsigned long code) { return std::strerror(int(code)); }

std::string lastSystemError() { return std::strerror(errno); }

}  // namespace qev
