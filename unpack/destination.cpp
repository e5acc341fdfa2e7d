#include "unpack/destination.h"

#include <filesystem>
#include <system_error>

#include "system/text.h"

namespace qev::unpack {

Expected<SharedDir, std::string> openDestination(const std::string& path, bool force) {
    std::filesystem::path where = longPathForm(pathFromUtf8(path));
    std::error_code ec;
    if (std::filesystem::symlink_status(where, ec).type() == std::filesystem::file_type::not_found) {
        std::filesystem::create_directories(where, ec);
        if (ec) return "Cannot create " + path + ": " + ec.message();
    }
    // DEST itself is the user's own choice, so a link there is followed; nothing below it is.
    auto dir = openDirectoryPath(path);
    if (!dir) return "Cannot open destination " + path + ": " + dir.error().text();
    if (!force && holdsAnything(**dir)) return "Destination is not empty (use --force to write into it): " + path;
    return *dir;
}

}  // namespace qev::unpack
