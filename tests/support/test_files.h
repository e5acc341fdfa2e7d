// Files and in-memory archives for tests.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "archive/read/archive_reader.h"
#include "archive/testing/archive_builder.h"

namespace qev::testing {

// The warning qev-pack gives a source whose root holds no title folder.
inline std::string noTitlesWarning(const std::string& source) {
    return "Warning: No title folder (named like 0005000010101D00_v64) at the root of " + source +
           ": qev-tool list will show no titles\n";
}

// The whole file's bytes; empty when it cannot be read.
std::string readWholeFile(const std::filesystem::path& path);

// Opens archive bytes held in memory, as openArchive would open them from a file.
std::unique_ptr<ArchiveReader> openBytes(std::string bytes);
// The same, keeping the reason an archive was refused.
// With `pages`, the tables are left in the bytes and read through them on demand.
Expected<SharedIndex, OpenError> openIndexBytes(std::string bytes, std::shared_ptr<SharedCache> pages = nullptr);

// A file in a fresh temporary directory, removed with the object.
class TempFile {
public:
    explicit TempFile(std::string_view name = "archive.qev");
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::filesystem::path& path() const { return path_; }
    const std::filesystem::path& dir() const { return dir_; }
    void write(std::string_view bytes) const;

private:
    std::filesystem::path dir_;
    std::filesystem::path path_;
};

}  // namespace qev::testing
