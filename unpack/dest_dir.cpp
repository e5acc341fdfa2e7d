#include "unpack/dest_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace qev::unpack {
namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool holdsAnything(int fd) {
    int copy = ::dup(fd);
    if (copy < 0) return true;
    DIR* d = ::fdopendir(copy);
    if (d == nullptr) {
        ::close(copy);
        return true;
    }
    bool any = false;
    while (dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            any = true;
            break;
        }
    }
    ::closedir(d);
    return any;
}

}  // namespace

DirHandle::~DirHandle() { ::close(fd_); }

std::string DirError::text() const { return message.empty() ? std::strerror(code) : message; }

Expected<SharedDir, DirError> openDestination(const std::string& path, bool force) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT) {
        std::error_code ec;
        std::filesystem::create_directories(path, ec);
        if (ec) return DirError{ec.value(), "Cannot create " + path + ": " + ec.message()};
    }
    // DEST itself is the user's own choice, so a link there is followed; nothing below it is.
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return DirError{errno, "Cannot open destination " + path + ": " + std::strerror(errno)};
    auto dir = std::make_shared<const DirHandle>(fd);
    if (!force && holdsAnything(fd)) {
        return DirError{EEXIST, "Destination is not empty (use --force to write into it): " + path};
    }
    return SharedDir(dir);
}

Expected<SharedDir, DirError> openDirectory(const DirHandle& parent, std::string_view name) {
    std::string n(name);
    int fd = ::openat(parent.fd(), n.c_str(), kDirFlags);
    if (fd < 0) return DirError{errno, {}};
    return SharedDir(std::make_shared<const DirHandle>(fd));
}

Expected<SharedDir, DirError> makeDirectory(const DirHandle& parent, std::string_view name, bool force) {
    std::string n(name);
    if (::mkdirat(parent.fd(), n.c_str(), 0777) != 0 && errno != EEXIST) return DirError{errno, {}};
    int fd = ::openat(parent.fd(), n.c_str(), kDirFlags);
    // ELOOP: a symbolic link; ENOTDIR: a file, or a link with O_DIRECTORY.
    if (fd < 0 && force && (errno == ELOOP || errno == ENOTDIR)) {
        if (::unlinkat(parent.fd(), n.c_str(), 0) != 0 ||
            (::mkdirat(parent.fd(), n.c_str(), 0777) != 0 && errno != EEXIST)) {
            return DirError{errno, {}};
        }
        fd = ::openat(parent.fd(), n.c_str(), kDirFlags);
    }
    if (fd < 0) return DirError{errno == ELOOP || errno == ENOTDIR ? EEXIST : errno, {}};
    return SharedDir(std::make_shared<const DirHandle>(fd));
}

}  // namespace qev::unpack
