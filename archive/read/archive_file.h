// The archive file as the reader sees it: positioned reads with no shared file position,
// so any number of readers may read it at once.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

#include "system/file.h"

namespace qev {

class ArchiveFile {
public:
    virtual ~ArchiveFile() = default;

    // Reads exactly `count` bytes at absolute `offset`; false on a short read or an error.
    // A count of 0 reads nothing and succeeds. Safe to call from several threads at once.
    virtual bool readAt(uint64_t offset, uint8_t* destination, uint32_t count) const = 0;
    // The file's size in bytes, or nothing when it cannot be found.
    virtual std::optional<uint64_t> size() const = 0;
    // Whether another process has rewritten or cut the file since it was opened: bytes read
    // after that cannot be trusted to belong to the archive that was validated.
    virtual bool changedSinceOpen() const { return false; }
    // What the file on disk was when it was opened (its times and size); nothing
    // for an archive held in a stream.
    virtual std::optional<FileStatus> openedStatus() const { return std::nullopt; }
};

// Opens `path` for reading only, untranslated and shared with other processes. Null when it
// does not open or is not something an archive can be read from: a directory, a FIFO or a
// socket (refused without waiting for a writer to appear).
std::unique_ptr<ArchiveFile> openArchiveFile(const std::filesystem::path& path);

}  // namespace qev
