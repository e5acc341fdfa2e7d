#include "unpack/destination.h"

#include <filesystem>
#include <system_error>

#include "system/text.h"

namespace qev::unpack {
namespace {

namespace fs = std::filesystem;

// Makes each missing folder of `path` in turn, from the first below its root: never the
// root itself, nor on Windows the drive, which cannot be made and which making the whole
// chain through the long path form ("\\?\D:\out") tries to make.
std::error_code makeFolders(const fs::path& path) {
    std::error_code ec;
    fs::path whole = fs::absolute(path, ec);
    if (ec) return ec;
    fs::path at = whole.root_path();
    for (const fs::path& part : whole.relative_path()) {
        if (part.empty()) continue;  // after a closing separator
        at /= part;
        fs::path native = longPathForm(at);
        if (fs::symlink_status(native, ec).type() != fs::file_type::not_found) continue;
        fs::create_directory(native, ec);
        if (ec) return ec;
    }
    return {};
}

}  // namespace

Expected<SharedDir, std::string> openDestination(const std::string& path, bool force) {
    std::error_code ec;
    if (fs::symlink_status(longPathForm(pathFromUtf8(path)), ec).type() == fs::file_type::not_found) {
        if (std::error_code made = makeFolders(pathFromUtf8(path)))
            return "Cannot create " + path + ": " + made.message();
    }
    // DEST itself is the user's own choice, so a link there is followed; nothing below it is.
    auto dir = openDirectoryPath(path);
    if (!dir) return "Cannot open destination " + path + ": " + dir.error().text();
    if (!force && holdsAnything(**dir)) return "Destination is not empty (use --force to write into it): " + path;
    return *dir;
}

}  // namespace qev::unpack
