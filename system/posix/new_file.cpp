#include "system/new_file.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "system/posix/stat_fields.h"

namespace qev {
namespace {

// Where the filesystem cannot rename without replacing (exFAT, vfat, some network and
// FUSE filesystems refuse RENAME_NOREPLACE): claim the name first with a hard link, or
// where there are none, with an empty file made exclusively, which the rename then
// replaces. Either way an existing name is never replaced.
int renameByClaiming(int dir, const char* from, const char* to) {
    if (::linkat(dir, from, dir, to, 0) == 0) {
        ::unlinkat(dir, from, 0);
        return 0;
    }
    if (errno == EEXIST || (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS && errno != EMLINK)) return -1;
    int placeholder = ::openat(dir, to, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (placeholder < 0) return -1;
    ::close(placeholder);
    if (::renameat(dir, from, dir, to) == 0) return 0;
    int error = errno;
    ::unlinkat(dir, to, 0);
    errno = error;
    return -1;
}

int renameWithoutReplacing(int dir, const char* from, const char* to) {
    if (::renameat2(dir, from, dir, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return -1;
    return renameByClaiming(dir, from, to);
}

}  // namespace

Expected<std::unique_ptr<NewFile>, SystemError> NewFile::create(SharedDir dir, std::string temp) {
    // Mode 0666, so the kernel applies the umask as for any new file.
    int fd = ::openat(dir->native(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return SystemError{errno, {}, errno == EEXIST};
    return std::unique_ptr<NewFile>(new NewFile(std::move(dir), std::move(temp), fd));
}

NewFile::~NewFile() {
    if (open_) ::close(handle_);
    if (!committed_) ::unlinkat(dir_->native(), temp_.c_str(), 0);
}

std::optional<SystemError> NewFile::writeAt(const uint8_t* data, uint64_t length, uint64_t offset) {
    while (length > 0) {
        ssize_t n = ::pwrite(handle_, data, size_t(length), off_t(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return SystemError{errno, {}};
        if (n == 0) return SystemError{ENOSPC, {}};
        data += n;
        length -= uint64_t(n);
        offset += uint64_t(n);
    }
    return std::nullopt;
}

namespace {

// The filesystem's unit of shared extents: a range is shared only where its start and
// length are multiples of it, in both files.
constexpr uint64_t kExtentUnit = 4096;

// Shares the extents of [from, from + length) as [at, at + length) where the filesystem
// can (btrfs, XFS); false, with nothing done, elsewhere.
bool shareExtents(int source, uint64_t from, int target, uint64_t at, uint64_t length) {
    struct file_clone_range range {};
    range.src_fd = source;
    range.src_offset = from;
    range.src_length = length;
    range.dest_offset = at;
    return ::ioctl(target, FICLONERANGE, &range) == 0;
}

// Copies inside the kernel; what it could not copy is left to the caller.
uint64_t copyInKernel(int source, uint64_t from, int target, uint64_t at, uint64_t length) {
    uint64_t done = 0;
    while (done < length) {
        loff_t in = loff_t(from + done), out = loff_t(at + done);
        ssize_t n = ::copy_file_range(source, &in, target, &out, size_t(std::min<uint64_t>(length - done, 1 << 30)), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // not supported here, or across filesystems
        done += uint64_t(n);
    }
    return done;
}

}  // namespace

std::optional<SystemError> NewFile::copyFrom(const InputFile& source, uint64_t from, uint64_t length, uint64_t at) {
    int in = int(source.handle_);
    // Where both sides lie alike within the unit, the whole units between are shared.
    if (from % kExtentUnit == at % kExtentUnit) {
        uint64_t head = std::min(length, (kExtentUnit - from % kExtentUnit) % kExtentUnit);
        uint64_t middle = (length - head) / kExtentUnit * kExtentUnit;
        if (middle > 0 && shareExtents(in, from + head, handle_, at + head, middle)) {
            if (auto error = copyFrom(source, from, head, at)) return error;
            from += head + middle;
            at += head + middle;
            length -= head + middle;
        }
    }
    uint64_t done = copyInKernel(in, from, handle_, at, length);
    if (done == length) return std::nullopt;
    return copyThroughMemory(source, from + done, length - done, at + done);
}

std::optional<FileIdentity> NewFile::identity() const {
    struct stat st;
    if (!open_ || ::fstat(handle_, &st) != 0) return std::nullopt;
    return identityFrom(st);
}

std::optional<SystemError> NewFile::sync() {
    if (::fsync(handle_) != 0) return SystemError{errno, {}};
    return std::nullopt;
}

std::optional<SystemError> NewFile::commit(const std::string& name, const Commit& how) {
    if (how.time) {
        struct timespec times[2] = {timespecOf(*how.time), timespecOf(*how.time)};
        if (::futimens(handle_, times) != 0) return SystemError{errno, {}};
    }
    if (how.sync && ::fsync(handle_) != 0) return SystemError{errno, {}};
    open_ = false;
    if (::close(handle_) != 0) return SystemError{errno, {}};
    int dir = dir_->native();
    int rc = how.replace ? ::renameat(dir, temp_.c_str(), dir, name.c_str())
                         : renameWithoutReplacing(dir, temp_.c_str(), name.c_str());
    if (rc != 0) {
        if (!how.replace && errno == EEXIST) return SystemError{errno, {}, true};
        if (errno == EISDIR || errno == ENOTEMPTY || errno == EEXIST)
            return SystemError{errno, std::string(kDirectoryInTheWay)};
        return SystemError{errno, {}};
    }
    committed_ = true;
    // The rename itself lives in the directory: it is durable once the directory is.
    if (how.sync && ::fsync(dir) != 0) return SystemError{errno, {}};
    return std::nullopt;
}

}  // namespace qev
