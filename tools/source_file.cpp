#include "tools/source_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qev::pack {
namespace {

bool sameTime(const timespec& a, int64_t b) { return FileStamp::nanoseconds(a) == b; }

}  // namespace

SourceFile::SourceFile(const std::filesystem::path& path, uint64_t size, const FileStamp& listed)
    : path_(path), size_(size), listed_(listed), fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW)) {
    if (fd_ < 0) throw PackError("Cannot read " + path.string() + ": " + std::strerror(errno));
    struct stat st;
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || uint64_t(st.st_size) != size ||
        !sameTime(st.st_mtim, listed.modified) || !sameTime(st.st_ctim, listed.changed)) {
        ::close(fd_);
        throw PackError("File changed while packing: " + path.string());
    }
}

SourceFile::~SourceFile() { ::close(fd_); }

size_t SourceFile::read(char* into, size_t capacity) {
    size_t got = 0;
    while (got < capacity) {
        ssize_t n = ::read(fd_, into + got, capacity - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw PackError("Cannot read " + path_.string() + ": " + std::strerror(errno));
        if (n == 0) break;
        got += size_t(n);
    }
    read_ += got;
    // More bytes than listed: it grew.
    if (read_ > size_) throw PackError("File changed while packing: " + path_.string());
    return got;
}

void SourceFile::finish() {
    struct stat st;
    bool same = read_ == size_ && ::fstat(fd_, &st) == 0 && uint64_t(st.st_size) == size_ &&
                sameTime(st.st_mtim, listed_.modified) && sameTime(st.st_ctim, listed_.changed);
    if (!same) throw PackError("File changed while packing: " + path_.string());
}

void ContentHash::update(std::string_view bytes) {
    length_ += bytes.size();
    auto mix = [this](uint64_t word) {
        state_ = (state_ ^ word) * 0xBF58476D1CE4E5B9ull;
        state_ ^= state_ >> 29;
    };
    while (!bytes.empty() && !pending_.empty()) {
        pending_ += bytes[0];
        bytes.remove_prefix(1);
        if (pending_.size() == 8) {
            uint64_t w;
            std::memcpy(&w, pending_.data(), 8);
            mix(w);
            pending_.clear();
        }
    }
    for (; bytes.size() >= 8; bytes.remove_prefix(8)) {
        uint64_t w;
        std::memcpy(&w, bytes.data(), 8);
        mix(w);
    }
    pending_.append(bytes);
}

uint64_t ContentHash::value() const {
    uint64_t tail = 0;
    std::memcpy(&tail, pending_.data(), pending_.size());
    uint64_t h = (state_ ^ tail ^ length_) * 0x94D049BB133111EBull;
    return h ^ (h >> 31);
}

}  // namespace qev::pack
