#include "archive/archive_file.h"

#include <limits>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace qev {

bool readAt(std::istream& stream, uint64_t offset, uint8_t* destination, uint32_t count) {
    if (count == 0) return true;
    if (offset > uint64_t(std::numeric_limits<std::streamoff>::max())) return false;
    // An earlier failure must not stick: a later read of other bytes may well succeed.
    stream.clear();
    if (!stream.seekg(std::streamoff(offset), std::ios::beg)) return false;
    stream.read(reinterpret_cast<char*>(destination), std::streamsize(count));
    return uint64_t(stream.gcount()) == count;
}

bool StreamArchiveFile::readAt(uint64_t offset, uint8_t* destination, uint32_t count) const {
    std::lock_guard<std::mutex> lock(lock_);
    return stream_ && qev::readAt(*stream_, offset, destination, count);
}

std::optional<uint64_t> StreamArchiveFile::size() const {
    std::lock_guard<std::mutex> lock(lock_);
    if (!stream_) return std::nullopt;
    stream_->clear();
    if (!stream_->seekg(0, std::ios::end)) return std::nullopt;
    std::streamoff end = stream_->tellg();
    if (end < 0) return std::nullopt;
    return uint64_t(end);
}

#ifdef _WIN32

namespace {

// What identifies the contents of a file for change detection: writes move the last write
// and change times, truncation the size.
struct FileVersion {
    LARGE_INTEGER size{};
    LARGE_INTEGER written{};
    LARGE_INTEGER changed{};

    static std::optional<FileVersion> of(HANDLE h) {
        FILE_BASIC_INFO basic;
        FILE_STANDARD_INFO standard;
        if (!GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic) ||
            !GetFileInformationByHandleEx(h, FileStandardInfo, &standard, sizeof standard)) {
            return std::nullopt;
        }
        return FileVersion{standard.EndOfFile, basic.LastWriteTime, basic.ChangeTime};
    }
    bool operator==(const FileVersion& o) const {
        return size.QuadPart == o.size.QuadPart && written.QuadPart == o.written.QuadPart &&
               changed.QuadPart == o.changed.QuadPart;
    }
};

class HandleFile : public ArchiveFile {
public:
    HandleFile(HANDLE handle, FileVersion opened) : handle_(handle), opened_(opened) {}
    ~HandleFile() override { CloseHandle(handle_); }
    HandleFile(const HandleFile&) = delete;
    HandleFile& operator=(const HandleFile&) = delete;

    bool readAt(uint64_t offset, uint8_t* destination, uint32_t count) const override {
        while (count > 0) {
            // The offset travels with each call, so readers share no file position.
            OVERLAPPED at{};
            at.Offset = DWORD(offset);
            at.OffsetHigh = DWORD(offset >> 32);
            DWORD got = 0;
            if (!ReadFile(handle_, destination, count, &got, &at) || got == 0) return false;
            offset += got;
            destination += got;
            count -= got;
        }
        return true;
    }

    std::optional<uint64_t> size() const override {
        LARGE_INTEGER size;
        if (!GetFileSizeEx(handle_, &size) || size.QuadPart < 0) return std::nullopt;
        return uint64_t(size.QuadPart);
    }

    bool changedSinceOpen() const override {
        std::optional<FileVersion> now = FileVersion::of(handle_);
        return !now || !(*now == opened_);
    }

    std::optional<int64_t> modifiedTime() const override {
        // Windows counts 100 ns steps from 1601.
        constexpr int64_t kFrom1601To1970 = 116444736000000000;
        return (opened_.written.QuadPart - kFrom1601To1970) * 100;
    }

private:
    HANDLE handle_;
    FileVersion opened_;
};

}  // namespace

std::unique_ptr<ArchiveFile> openArchiveFile(const std::filesystem::path& path) {
    // Without FILE_FLAG_BACKUP_SEMANTICS a directory does not open.
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    std::optional<FileVersion> version;
    if (GetFileType(h) == FILE_TYPE_DISK) version = FileVersion::of(h);
    if (!version) {
        CloseHandle(h);
        return nullptr;
    }
    return std::make_unique<HandleFile>(h, *version);
}

#else

namespace {

// What identifies the contents of a file for change detection: writes move the
// modification and change times, truncation the size. The change time also catches a
// rewrite whose modification time was put back.
struct FileVersion {
    off_t size;
    struct timespec modified;
    struct timespec changed;

    static FileVersion of(const struct stat& st) { return {st.st_size, st.st_mtim, st.st_ctim}; }
    static bool same(const timespec& a, const timespec& b) {
        return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
    }
    bool operator==(const FileVersion& o) const {
        return size == o.size && same(modified, o.modified) && same(changed, o.changed);
    }
};

class DescriptorFile : public ArchiveFile {
public:
    DescriptorFile(int fd, const struct stat& st) : fd_(fd), opened_(FileVersion::of(st)) {}
    ~DescriptorFile() override { ::close(fd_); }
    DescriptorFile(const DescriptorFile&) = delete;
    DescriptorFile& operator=(const DescriptorFile&) = delete;

    bool readAt(uint64_t offset, uint8_t* destination, uint32_t count) const override {
        if (offset > uint64_t(std::numeric_limits<off_t>::max())) return count == 0;
        while (count > 0) {
            ssize_t n = ::pread(fd_, destination, count, off_t(offset));
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

    std::optional<uint64_t> size() const override {
        // lseek also sizes block devices, whose st_size is 0; pread ignores the position.
        off_t end = ::lseek(fd_, 0, SEEK_END);
        if (end < 0) return std::nullopt;
        return uint64_t(end);
    }

    bool changedSinceOpen() const override {
        struct stat st;
        return ::fstat(fd_, &st) != 0 || !(FileVersion::of(st) == opened_);
    }

    std::optional<int64_t> modifiedTime() const override {
        return int64_t(opened_.modified.tv_sec) * 1000000000 + opened_.modified.tv_nsec;
    }

    int descriptor() const override { return fd_; }

private:
    int fd_;
    FileVersion opened_;
};

}  // namespace

std::unique_ptr<ArchiveFile> openArchiveFile(const std::filesystem::path& path) {
    // O_NONBLOCK keeps open() from waiting for the writer of a FIFO.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    bool usable = ::fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode) && !S_ISFIFO(st.st_mode) &&
                  !S_ISSOCK(st.st_mode);
    int flags = usable ? ::fcntl(fd, F_GETFL) : -1;
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<DescriptorFile>(fd, st);
}

#endif

}  // namespace qev
