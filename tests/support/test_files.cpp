#include "tests/support/test_files.h"

#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "archive/testing/stream_archive_file.h"

namespace qev::testing {

std::string readWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::unique_ptr<ArchiveReader> openBytes(std::string bytes) {
    std::unique_ptr<std::istream> stream = std::make_unique<std::istringstream>(std::move(bytes));
    return openArchiveStream(stream);
}

Expected<SharedIndex, OpenError> openIndexBytes(std::string bytes, std::shared_ptr<SharedCache> pages) {
    std::unique_ptr<ArchiveFile> file =
        std::make_unique<StreamArchiveFile>(std::make_unique<std::istringstream>(std::move(bytes)));
    return pages ? ArchiveIndex::createOnDemand(file, std::move(pages)) : ArchiveIndex::create(file);
}

TempFile::TempFile(std::string_view name) {
    std::string pattern = (std::filesystem::temp_directory_path() / "qev-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    path_ = dir_ / name;
}

TempFile::~TempFile() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

void TempFile::write(std::string_view bytes) const { writeFile(path_, bytes); }

}  // namespace qev::testing
