#include "system/directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "system/posix/posix_time.h"

namespace qev {
namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

}  // namespace

DirHandle::~DirHandle() { ::close(handle_); }

std::string SystemError::text() const { return message.empty() ? std::strerror(code) : message; }

Expected<SharedDir, SystemError> openDirectoryPath(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return SystemError{errno, {}};
    return SharedDir(std::make_shared<const DirHandle>(fd));
}

bool holdsAnything(const DirHandle& dir) {
    int copy = ::dup(dir.native());
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

Expected<SharedDir, SystemError> openDirectory(const DirHandle& parent, std::string_view name) {
    std::string n(name);
    int fd = ::openat(parent.native(), n.c_str(), kDirFlags);
    if (fd < 0) return SystemError{errno, {}};
    return SharedDir(std::make_shared<const DirHandle>(fd));
}

Expected<SharedDir, SystemError> makeDirectory(const DirHandle& parent, std::string_view name, bool force) {
    std::string n(name);
    if (::mkdirat(parent.native(), n.c_str(), 0777) != 0 && errno != EEXIST) return SystemError{errno, {}};
    int fd = ::openat(parent.native(), n.c_str(), kDirFlags);
    // ELOOP: a symbolic link; ENOTDIR: a file, or a link with O_DIRECTORY.
    if (fd < 0 && force && (errno == ELOOP || errno == ENOTDIR)) {
        if (::unlinkat(parent.native(), n.c_str(), 0) != 0 ||
            (::mkdirat(parent.native(), n.c_str(), 0777) != 0 && errno != EEXIST)) {
            return SystemError{errno, {}};
        }
        fd = ::openat(parent.native(), n.c_str(), kDirFlags);
    }
    if (fd < 0) return SystemError{errno == ELOOP || errno == ENOTDIR ? EEXIST : errno, {}};
    return SharedDir(std::make_shared<const DirHandle>(fd));
}

std::optional<FileIdentity> identityOf(const DirHandle& dir) {
    struct stat st;
    if (::fstat(dir.native(), &st) != 0) return std::nullopt;
    return FileIdentity{uint64_t(st.st_dev), uint64_t(st.st_ino)};
}

bool canOpenParent() { return true; }

Expected<SharedDir, SystemError> openParent(const DirHandle& dir) {
    int fd = ::openat(dir.native(), "..", kDirFlags);
    if (fd < 0) return SystemError{errno, {}};
    return SharedDir(std::make_shared<const DirHandle>(fd));
}

void setDirectoryTime(const DirHandle& parent, std::string_view name, FileTime time) {
    struct timespec times[2] = {timespecOf(time), timespecOf(time)};
    ::utimensat(parent.native(), std::string(name).c_str(), times, AT_SYMLINK_NOFOLLOW);
}

}  // namespace qev
