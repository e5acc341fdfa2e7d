#include "archive/testing/stream_archive_file.h"

#include <cstring>
#include <limits>

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

bool MemoryArchiveFile::readAt(uint64_t offset, uint8_t* destination, uint32_t count) const {
    if (offset > bytes_.size() || count > bytes_.size() - offset) return false;
    std::memcpy(destination, bytes_.data() + offset, count);
    return true;
}

std::unique_ptr<ArchiveReader> openArchiveStream(std::unique_ptr<std::istream>& stream) {
    if (!stream) return nullptr;
    auto wrapped = std::make_unique<StreamArchiveFile>(std::move(stream));
    StreamArchiveFile* raw = wrapped.get();
    std::unique_ptr<ArchiveFile> file = std::move(wrapped);
    auto index = ArchiveIndex::create(file);
    if (!index) {
        // The caller keeps the stream it gave.
        stream = raw->release();
        return nullptr;
    }
    return std::make_unique<ArchiveReader>(std::move(*index));
}

}  // namespace qev
