#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "console/native_text.h"
#include "pack/native_files.h"

namespace qev::pack {
namespace {

int64_t nanoseconds(const struct timespec& t) { return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec; }

FileStamp stampOf(const struct stat& st) { return {nanoseconds(st.st_mtim), nanoseconds(st.st_ctim)}; }

FileIdentity identityFrom(const struct stat& st) { return {uint64_t(st.st_dev), uint64_t(st.st_ino)}; }

EntryKind kindOf(mode_t mode) {
    if (S_ISREG(mode)) return EntryKind::kFile;
    if (S_ISDIR(mode)) return EntryKind::kDirectory;
    return S_ISLNK(mode) ? EntryKind::kLink : EntryKind::kSpecial;
}

std::string cannotRead(const std::filesystem::path& path, int error) {
    return "Cannot read " + path.string() + ": " + std::strerror(error);
}

}  // namespace

std::vector<Listed> listDirectory(const std::filesystem::path& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) throw PackError(cannotRead(dir, errno));
    std::vector<Listed> out;
    errno = 0;
    while (dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        struct stat st;
        if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            int error = errno;
            ::closedir(d);
            throw PackError(cannotRead(dir / e->d_name, error));
        }
        bool isFile = S_ISREG(st.st_mode);
        out.push_back({e->d_name, kindOf(st.st_mode), isFile ? uint64_t(st.st_size) : 0, stampOf(st), identityFrom(st)});
        errno = 0;
    }
    int failed = errno;
    ::closedir(d);
    if (failed != 0) throw PackError(cannotRead(dir, failed));
    return out;
}

std::optional<FileIdentity> identityOf(const std::filesystem::path& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
    return identityFrom(st);
}

InputFile::InputFile(const std::filesystem::path& path)
    : path_(path), handle_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW)) {
    if (handle_ < 0) throw PackError(cannotRead(path, errno));
}

InputFile::~InputFile() { ::close(int(handle_)); }

std::optional<InputFile::Status> InputFile::status() const {
    struct stat st;
    if (::fstat(int(handle_), &st) != 0) return std::nullopt;
    return Status{S_ISREG(st.st_mode), uint64_t(st.st_size), stampOf(st)};
}

size_t InputFile::readSome(char* into, size_t capacity) {
    for (;;) {
        ssize_t n = ::read(int(handle_), into, capacity);
        if (n >= 0) return size_t(n);
        if (errno != EINTR) throw PackError(cannotRead(path_, errno));
    }
}

void OutputFile::close() {
    if (handle_ >= 0) ::close(int(std::exchange(handle_, -1)));
}

OutputFile::~OutputFile() { close(); }

OutputFile::Created OutputFile::create(const std::filesystem::path& path) {
    // Mode 0666, so the kernel applies the umask as for any new file.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return errno == EEXIST ? Created::kExists : Created::kFailed;
    handle_ = fd;
    return Created::kYes;
}

bool OutputFile::write(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(int(handle_), bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = ENOSPC;
        if (n <= 0) return false;
        bytes.remove_prefix(size_t(n));
    }
    return true;
}

std::optional<FileIdentity> OutputFile::identity() const {
    struct stat st;
    if (::fstat(int(handle_), &st) != 0) return std::nullopt;
    return identityFrom(st);
}

bool OutputFile::syncAndClose() {
    if (handle_ == -1) return false;
    bool synced = ::fsync(int(handle_)) == 0;
    int error = errno;
    bool closed = ::close(int(std::exchange(handle_, -1))) == 0;
    if (!synced) errno = error;
    return synced && closed;
}

Moved moveFile(const std::filesystem::path& from, const std::filesystem::path& to, bool replace) {
    int rc = replace ? ::rename(from.c_str(), to.c_str())
                     : ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
    if (rc == 0) return Moved::kYes;
    return errno == EEXIST ? Moved::kExists : Moved::kFailed;
}

void removeFile(const std::filesystem::path& path) { ::unlink(path.c_str()); }


}  // namespace qev::pack
