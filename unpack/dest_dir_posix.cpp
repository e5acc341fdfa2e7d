#include "unpack/dest_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace qev::unpack {
namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

struct timespec timespecOf(FileTime t) {
    // Floor division, so that times before 1970 keep nanoseconds in [0, 1e9).
    int64_t seconds = t / 1000000000;
    int64_t nanos = t % 1000000000;
    if (nanos < 0) {
        seconds -= 1;
        nanos += 1000000000;
    }
    return {time_t(seconds), long(nanos)};
}

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

DirHandle::~DirHandle() { ::close(handle_); }

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
    int fd = ::openat(parent.native(), n.c_str(), kDirFlags);
    if (fd < 0) return DirError{errno, {}};
    return SharedDir(std::make_shared<const DirHandle>(fd));
}

Expected<SharedDir, DirError> makeDirectory(const DirHandle& parent, std::string_view name, bool force) {
    std::string n(name);
    if (::mkdirat(parent.native(), n.c_str(), 0777) != 0 && errno != EEXIST) return DirError{errno, {}};
    int fd = ::openat(parent.native(), n.c_str(), kDirFlags);
    // ELOOP: a symbolic link; ENOTDIR: a file, or a link with O_DIRECTORY.
    if (fd < 0 && force && (errno == ELOOP || errno == ENOTDIR)) {
        if (::unlinkat(parent.native(), n.c_str(), 0) != 0 ||
            (::mkdirat(parent.native(), n.c_str(), 0777) != 0 && errno != EEXIST)) {
            return DirError{errno, {}};
        }
        fd = ::openat(parent.native(), n.c_str(), kDirFlags);
    }
    if (fd < 0) return DirError{errno == ELOOP || errno == ENOTDIR ? EEXIST : errno, {}};
    return SharedDir(std::make_shared<const DirHandle>(fd));
}

void setDirectoryTime(const DirHandle& parent, std::string_view name, FileTime time) {
    struct timespec times[2] = {timespecOf(time), timespecOf(time)};
    ::utimensat(parent.native(), std::string(name).c_str(), times, AT_SYMLINK_NOFOLLOW);
}

Expected<std::unique_ptr<NewFile>, DirError> NewFile::create(SharedDir dir, std::string temp) {
    int fd = ::openat(dir->native(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return DirError{errno, {}};
    return std::unique_ptr<NewFile>(new NewFile(std::move(dir), std::move(temp), fd));
}

NewFile::~NewFile() {
    if (open_) ::close(handle_);
    if (!committed_) ::unlinkat(dir_->native(), temp_.c_str(), 0);
}

std::optional<DirError> NewFile::writeAt(const uint8_t* data, uint64_t length, uint64_t offset) {
    while (length > 0) {
        ssize_t n = ::pwrite(handle_, data, size_t(length), off_t(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return DirError{errno, {}};
        if (n == 0) return DirError{ENOSPC, {}};
        data += n;
        length -= uint64_t(n);
        offset += uint64_t(n);
    }
    return std::nullopt;
}

std::optional<DirError> NewFile::commit(const std::string& name, FileTime time) {
    // The time is set through the open descriptor; the rename then puts the whole file in
    // place, replacing a file or link of that name, never following it.
    struct timespec times[2] = {timespecOf(time), timespecOf(time)};
    if (::futimens(handle_, times) != 0) return DirError{errno, {}};
    open_ = false;
    if (::close(handle_) != 0) return DirError{errno, {}};
    int dir = dir_->native();
    if (::renameat(dir, temp_.c_str(), dir, name.c_str()) != 0) {
        if (errno == EISDIR || errno == ENOTEMPTY || errno == EEXIST) return DirError{errno, std::string(kDirectoryInTheWay)};
        return DirError{errno, {}};
    }
    committed_ = true;
    return std::nullopt;
}

}  // namespace qev::unpack
