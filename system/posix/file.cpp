#include "system/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include "system/directory.h"
#include "system/posix/stat_fields.h"

namespace qev {
namespace {

FileKind kindOf(mode_t mode) {
    if (S_ISREG(mode)) return FileKind::kFile;
    if (S_ISDIR(mode)) return FileKind::kDirectory;
    return S_ISLNK(mode) ? FileKind::kLink : FileKind::kSpecial;
}

FileStatus statusFrom(const struct stat& st) {
    FileStatus s;
    s.kind = kindOf(st.st_mode);
    s.size = st.st_size > 0 ? uint64_t(st.st_size) : 0;
    s.modified = fileTimeOf(st.st_mtim);
    s.changed = fileTimeOf(st.st_ctim);
    s.accessed = fileTimeOf(st.st_atim);
    s.identity = identityFrom(st);
    s.links = uint64_t(st.st_nlink);
    return s;
}

// A descriptor opened with O_NONBLOCK (which keeps open() from waiting for the writer of a
// FIFO), made blocking again; closed and refused when `readable` and it is a directory, a
// FIFO or a socket.
int blockingDescriptor(int fd, bool readable) {
    if (fd < 0) return -1;
    struct stat st;
    bool statted = ::fstat(fd, &st) == 0;
    bool usable = statted && (!readable || (!S_ISDIR(st.st_mode) && !S_ISFIFO(st.st_mode) && !S_ISSOCK(st.st_mode)));
    int now = usable ? ::fcntl(fd, F_GETFL) : -1;
    if (now < 0 || ::fcntl(fd, F_SETFL, now & ~O_NONBLOCK) < 0) {
        // Not a file that can be read at any offset: a directory, or a pipe or socket.
        int error = usable || !statted ? errno : S_ISDIR(st.st_mode) ? EISDIR : ESPIPE;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

}  // namespace

std::unique_ptr<InputFile> InputFile::open(const std::filesystem::path& path) {
    int fd = blockingDescriptor(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC), true);
    if (fd < 0) return nullptr;
    return std::unique_ptr<InputFile>(new InputFile(fd));
}

InputFile::~InputFile() { ::close(int(handle_)); }

bool InputFile::readAt(uint64_t offset, uint8_t* destination, uint32_t count) const {
    if (offset > uint64_t(std::numeric_limits<off_t>::max())) return count == 0;
    while (count > 0) {
        ssize_t n = ::pread(int(handle_), destination, count, off_t(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        // The kernel never returns more than asked, so these cannot wrap.
        if (uint64_t(n) > uint64_t(std::numeric_limits<off_t>::max()) - offset) return false;
        offset += uint64_t(n);
        destination += n;
        count -= uint32_t(n);
    }
    return true;
}

std::unique_ptr<FileInPlace> FileInPlace::open(const std::filesystem::path& path) {
    int fd = blockingDescriptor(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC), true);
    struct stat st;
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        errno = EINVAL;
        return nullptr;
    }
    if (fd < 0) return nullptr;
    return std::unique_ptr<FileInPlace>(new FileInPlace(fd));
}

bool FileInPlace::writeAt(uint64_t offset, const uint8_t* data, uint32_t count) {
    if (offset > uint64_t(std::numeric_limits<off_t>::max()) - count) {
        errno = EFBIG;
        return false;
    }
    while (count > 0) {
        ssize_t n = ::pwrite(int(handle_), data, count, off_t(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        offset += uint64_t(n);
        data += n;
        count -= uint32_t(n);
    }
    return true;
}

bool FileInPlace::sync() { return ::fsync(int(handle_)) == 0; }

std::optional<size_t> InputFile::readSome(char* into, size_t capacity) {
    for (;;) {
        ssize_t n = ::read(int(handle_), into, capacity);
        if (n >= 0) return size_t(n);
        if (errno != EINTR) return std::nullopt;
    }
}

std::optional<uint64_t> InputFile::size() const {
    // lseek also sizes block devices, whose st_size is 0; pread ignores the position.
    off_t end = ::lseek(int(handle_), 0, SEEK_END);
    if (end < 0) return std::nullopt;
    return uint64_t(end);
}

std::optional<FileStatus> InputFile::status() const {
    struct stat st;
    if (::fstat(int(handle_), &st) != 0) return std::nullopt;
    return statusFrom(st);
}

std::unique_ptr<InputFile> openFileIn(const DirHandle& dir, std::string_view name) {
    // A file inside a tree is checked by its caller, which knows what it listed.
    int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW;
    int fd = blockingDescriptor(::openat(dir.native(), std::string(name).c_str(), flags), false);
    if (fd < 0) return nullptr;
    return std::unique_ptr<InputFile>(new InputFile(fd));
}

Expected<std::vector<ListedEntry>, ListFailure> listDirectory(const DirHandle& dir) {
    int copy = ::dup(dir.native());
    DIR* d = copy < 0 ? nullptr : ::fdopendir(copy);
    if (d == nullptr) {
        ListFailure failure{{}, std::strerror(errno)};
        if (copy >= 0) ::close(copy);
        return failure;
    }
    // The copy shares the handle's position, which an earlier listing left at the end.
    ::rewinddir(d);
    std::vector<ListedEntry> out;
    errno = 0;
    while (dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        struct stat st;
        if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            ListFailure failure{e->d_name, std::strerror(errno)};
            ::closedir(d);
            return failure;
        }
        FileStatus s = statusFrom(st);
        out.push_back({e->d_name, s.kind, s.kind == FileKind::kFile ? s.size : 0, s.modified, s.changed, s.identity});
        errno = 0;
    }
    int failed = errno;
    ::closedir(d);
    if (failed != 0) return ListFailure{{}, std::strerror(failed)};
    return out;
}

std::optional<FileStatus> linkStatus(const std::filesystem::path& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
    return statusFrom(st);
}

}  // namespace qev
