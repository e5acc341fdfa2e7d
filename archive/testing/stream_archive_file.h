// Archives held in streams and in memory, for tests and fuzzing: no program reads an
// archive but from a file.
#pragma once

#include <cstdint>
#include <istream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "archive/read/archive_file.h"
#include "archive/read/archive_reader.h"

namespace qev {

// Reads exactly `count` bytes at absolute `offset` of a stream; false on a failed seek, a
// short read or an error. A count of 0 reads nothing and succeeds.
bool readAt(std::istream& stream, uint64_t offset, uint8_t* destination, uint32_t count);

// An archive held in any input stream (a file opened by the caller, or bytes in memory).
// A stream has one position, so reads through it take turns.
class StreamArchiveFile : public ArchiveFile {
public:
    explicit StreamArchiveFile(std::unique_ptr<std::istream> stream) : stream_(std::move(stream)) {}
    bool readAt(uint64_t offset, uint8_t* destination, uint32_t count) const override;
    std::optional<uint64_t> size() const override;
    // Gives the stream back, as when the archive in it was refused.
    std::unique_ptr<std::istream> release() { return std::move(stream_); }

private:
    mutable std::mutex lock_;
    std::unique_ptr<std::istream> stream_;
};

// An archive's bytes held in memory, read by any number of threads at once.
class MemoryArchiveFile : public ArchiveFile {
public:
    explicit MemoryArchiveFile(const std::string& bytes) : bytes_(bytes) {}
    bool readAt(uint64_t offset, uint8_t* destination, uint32_t count) const override;
    std::optional<uint64_t> size() const override { return bytes_.size(); }

private:
    const std::string& bytes_;
};

// Validates the archive in an open stream. On success the reader owns the stream and the
// handle is left empty; on failure the handle keeps it, possibly at another position.
std::unique_ptr<ArchiveReader> openArchiveStream(std::unique_ptr<std::istream>& stream);

}  // namespace qev
