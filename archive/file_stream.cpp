#include "archive/file_stream.h"

#ifdef _WIN32
#include <fstream>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <streambuf>
#endif

namespace qev {

#ifdef _WIN32

namespace {

// No change detection here: the file is opened through the standard library alone.
class WindowsFileStream : public FileStream {
public:
    explicit WindowsFileStream(const std::filesystem::path& path) : FileStream(nullptr) {
        buf_.open(path, std::ios::in | std::ios::binary);
        rdbuf(&buf_);
    }
    bool isOpen() const { return buf_.is_open(); }
    bool changedSinceOpen() const override { return false; }

private:
    std::filebuf buf_;
};

}  // namespace

std::unique_ptr<FileStream> openInputFile(const std::filesystem::path& path) {
    auto stream = std::make_unique<WindowsFileStream>(path);
    if (!stream->isOpen()) return nullptr;
    return stream;
}

#else

namespace {

// A read-only stream buffer over a file descriptor. Reads use pread at the logical
// position, so a seek costs no system call and large reads go straight to the caller's
// memory; only single-character reads go through the small get area.
class FdStreamBuf : public std::streambuf {
public:
    explicit FdStreamBuf(int fd) : fd_(fd) {}
    ~FdStreamBuf() override { ::close(fd_); }
    FdStreamBuf(const FdStreamBuf&) = delete;
    FdStreamBuf& operator=(const FdStreamBuf&) = delete;

protected:
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) override {
        off_type from = 0;
        if (dir == std::ios_base::cur) {
            from = logicalPosition();
        } else if (dir == std::ios_base::end) {
            // lseek also sizes block devices, whose st_size is 0.
            from = ::lseek(fd_, 0, SEEK_END);
            if (from < 0) return pos_type(off_type(-1));
        }
        if ((off > 0 && from > std::numeric_limits<off_type>::max() - off) || from + off < 0) {
            return pos_type(off_type(-1));
        }
        return moveTo(from + off);
    }

    pos_type seekpos(pos_type pos, std::ios_base::openmode) override {
        if (off_type(pos) < 0) return pos_type(off_type(-1));
        return moveTo(off_type(pos));
    }

    std::streamsize xsgetn(char* dst, std::streamsize count) override {
        std::streamsize got = std::min<std::streamsize>(count, egptr() - gptr());
        std::copy(gptr(), gptr() + got, dst);
        gbump(int(got));
        while (got < count) {
            // Linux moves at most about 2 GiB per call, so larger reads loop.
            size_t want = size_t(std::min<std::streamsize>(count - got, 1 << 30));
            ssize_t n = ::pread(fd_, dst + got, want, filePos_);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += n;
            filePos_ += n;
        }
        return got;
    }

    int_type underflow() override {
        if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
        ssize_t n;
        do {
            n = ::pread(fd_, small_, sizeof small_, filePos_);
        } while (n < 0 && errno == EINTR);
        if (n <= 0) return traits_type::eof();
        filePos_ += n;
        setg(small_, small_, small_ + n);
        return traits_type::to_int_type(*gptr());
    }

private:
    off_type logicalPosition() const { return filePos_ - (egptr() - gptr()); }

    pos_type moveTo(off_type pos) {
        setg(nullptr, nullptr, nullptr);
        filePos_ = pos;
        return pos_type(pos);
    }

    int fd_;
    off_t filePos_ = 0;  // file offset of the byte after the get area
    char small_[512];
};

// What identifies the contents of a file for change detection: writes and truncation
// move the modification time, and truncation the size.
struct FileVersion {
    off_t size;
    struct timespec modified;

    static FileVersion of(const struct stat& st) { return {st.st_size, st.st_mtim}; }
    bool operator==(const FileVersion& o) const {
        return size == o.size && modified.tv_sec == o.modified.tv_sec &&
               modified.tv_nsec == o.modified.tv_nsec;
    }
};

class FdInputStream : public FileStream {
public:
    FdInputStream(int fd, const struct stat& st)
        : FileStream(nullptr), buf_(fd), fd_(fd), opened_(FileVersion::of(st)) {
        rdbuf(&buf_);
    }

    bool changedSinceOpen() const override {
        struct stat st;
        return ::fstat(fd_, &st) != 0 || !(FileVersion::of(st) == opened_);
    }

private:
    FdStreamBuf buf_;
    int fd_;
    FileVersion opened_;
};

}  // namespace

std::unique_ptr<FileStream> openInputFile(const std::filesystem::path& path) {
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
    return std::make_unique<FdInputStream>(fd, st);
}

#endif

}  // namespace qev
