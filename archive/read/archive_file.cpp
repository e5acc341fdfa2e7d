#include "archive/read/archive_file.h"

#include <limits>

namespace qev {

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
