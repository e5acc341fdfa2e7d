#include "archive/archive_file.h"

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

namespace {

class SystemArchiveFile : public ArchiveFile {
public:
    SystemArchiveFile(std::unique_ptr<InputFile> file, const FileStatus& opened)
        : file_(std::move(file)), opened_(opened) {}

    bool readAt(uint64_t offset, uint8_t* destination, uint32_t count) const override {
        return file_->readAt(offset, destination, count);
    }
    std::optional<uint64_t> size() const override { return file_->size(); }
    bool changedSinceOpen() const override {
        std::optional<FileStatus> now = file_->status();
        return !now || !sameOpenContents(opened_, *now);
    }
    std::optional<FileStatus> openedStatus() const override { return opened_; }

private:
    std::unique_ptr<InputFile> file_;
    FileStatus opened_;
};

}  // namespace

std::unique_ptr<ArchiveFile> openArchiveFile(const std::filesystem::path& path) {
    std::unique_ptr<InputFile> file = InputFile::open(path);
    std::optional<FileStatus> status = file ? file->status() : std::nullopt;
    if (!status) return nullptr;
    return std::make_unique<SystemArchiveFile>(std::move(file), *status);
}

}  // namespace qev
