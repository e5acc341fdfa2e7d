#include "system/directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "system/posix/stat_fields.h"

namespace qev {
namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

}  // namespace

DirHandle::~DirHandle() { ::close(handle_); }

std::string SystemError::text() const { return message.empty() ? std::strerror(code) : message; }

bool failsEveryFile(const SystemError& error) {
    if (!error.message.empty()) return false;
    return error.code == ENOSPC || error.code == EDQUOT || error.code == EROFS || error.code == EACCES ||
           error.code == EPERM;
}

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

Expected<SharedDir, SystemError> makeDirectory(const DirHandle& parent, std::string_view name, bool force,
                                               bool* created) {
    std::string n(name);
    bool made = ::mkdirat(parent.native(), n.c_str(), 0777) == 0;
    if (created != nullptr) *created = made;
    if (!made && errno != EEXIST) return SystemError{errno, {}};
    int fd = ::openat(parent.native(), n.c_str(), kDirFlags);
    // ELOOP: a symbolic link; ENOTDIR: a file, or a link with O_DIRECTORY.
    if (fd < 0 && force && (errno == ELOOP || errno == ENOTDIR)) {
        if (::unlinkat(parent.native(), n.c_str(), 0) != 0 ||
            (::mkdirat(parent.native(), n.c_str(), 0777) != 0 && errno != EEXIST)) {
            return SystemError{errno, {}};
        }
        if (created != nullptr) *created = true;
        fd = ::openat(parent.native(), n.c_str(), kDirFlags);
    }
    if (fd < 0) return SystemError{errno == ELOOP || errno == ENOTDIR ? EEXIST : errno, {}};
    return SharedDir(std::make_shared<const DirHandle>(fd));
}

std::optional<FileIdentity> identityOf(const DirHandle& dir) {
    struct stat st;
    if (::fstat(dir.native(), &st) != 0) return std::nullopt;
    return identityFrom(st);
}

std::optional<SystemError> removeFile(const DirHandle& dir, std::string_view name) {
    if (::unlinkat(dir.native(), std::string(name).c_str(), 0) != 0) return SystemError{errno, {}};
    return std::nullopt;
}

bool canOpenParent() { return true; }

Expected<SharedDir, SystemError> openParent(const DirHandle& dir) {
    int fd = ::openat(dir.native(), "..", kDirFlags);
    if (fd < 0) return SystemError{errno, {}};
    return SharedDir(std::make_shared<const DirHandle>(fd));
}

std::optional<FileIdentity> entryIdentity(const DirHandle& dir, std::string_view name) {
    struct stat st;
    if (::fstatat(dir.native(), std::string(name).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    return identityFrom(st);
}

namespace {

// Filesystem magic numbers (linux/magic.h, and the ones it lacks).
constexpr long kMsdos = 0x4d44;
constexpr long kExfat = 0x2011BAB0;
constexpr long kExt4 = 0xEF53;
constexpr long kF2fs = 0xF2F52010;
constexpr long kCaseSensitive[] = {
    0x01021994,  // tmpfs
    0x858458f6,  // ramfs
    0x58465342,  // xfs
    0x9123683E,  // btrfs
    0x2FC12FC1,  // zfs
    0x794c7630,  // overlayfs
};

// Inode numbers cannot tell: a FUSE filesystem may give one file another number under
// each spelling of its name. So the upper-case name must be missing before the probe is
// made, and present after.
std::optional<bool> probeLetterCase(int dir, std::string_view probe) {
    std::string lower(probe);
    std::string upper(probe);
    for (char& c : upper) c = c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
    struct stat st;
    if (::fstatat(dir, upper.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return std::nullopt;
    int fd = ::openat(dir, lower.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return std::nullopt;
    ::close(fd);
    bool folds = ::fstatat(dir, upper.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    ::unlinkat(dir, lower.c_str(), 0);
    return folds;
}

}  // namespace

std::optional<bool> foldsLetterCase(const DirHandle& dir, std::string_view probe) {
    struct statfs fs;
    if (::fstatfs(dir.native(), &fs) != 0) return std::nullopt;
    long type = long(fs.f_type);
    if (type == kMsdos || type == kExfat) return true;
    if (type == kExt4 || type == kF2fs) {
        long flags = 0;
        if (::ioctl(dir.native(), FS_IOC_GETFLAGS, &flags) != 0) return std::nullopt;
        return (flags & FS_CASEFOLD_FL) != 0;
    }
    for (long sensitive : kCaseSensitive) {
        if (type == sensitive) return false;
    }
    return probeLetterCase(dir.native(), probe);
}

bool canSyncFilesystem() { return true; }

std::optional<SystemError> syncFilesystem(const DirHandle& dir) {
    if (::syncfs(dir.native()) != 0) return SystemError{errno, {}};
    return std::nullopt;
}

void setDirectoryTime(const DirHandle& parent, std::string_view name, FileTime time) {
    struct timespec times[2] = {timespecOf(time), timespecOf(time)};
    ::utimensat(parent.native(), std::string(name).c_str(), times, AT_SYMLINK_NOFOLLOW);
}

}  // namespace qev
