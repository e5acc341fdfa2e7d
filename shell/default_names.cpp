#include "shell/default_names.h"

#include <string_view>

#include "archive/format/names.h"

namespace qev {
namespace {

bool separates(char c) { return c == '/' || c == '\\'; }

// The last name of a path: after its last separator, or a drive's colon.
std::string_view lastName(std::string_view path) {
    size_t at = path.find_last_of("/\\:");
    return at == std::string_view::npos ? path : path.substr(at + 1);
}

}  // namespace

std::string lastPathName(const std::string& path) {
    std::string_view trimmed(path);
    while (!trimmed.empty() && separates(trimmed.back())) trimmed.remove_suffix(1);
    return std::string(lastName(trimmed));
}

std::optional<std::string> archiveBeside(const std::string& folder) {
    std::string_view path(folder);
    while (!path.empty() && separates(path.back())) path.remove_suffix(1);
    std::string_view name = lastName(path);
    if (name.empty() || name == "." || name == "..") return std::nullopt;
    return std::string(path) + ".qev";
}

std::optional<std::string> folderBeside(const std::string& archive) {
    std::string_view name = lastName(archive);
    if (name.size() <= 4 || !equalIgnoringAsciiCase(name.substr(name.size() - 4), ".qev")) return std::nullopt;
    return archive.substr(0, archive.size() - 4);
}

}  // namespace qev
