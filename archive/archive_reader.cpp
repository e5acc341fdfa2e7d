// Making readers: from a path, from a stream, or from another reader's archive.
#include "archive/archive_reader.h"

#include <algorithm>
#include <new>
#include <utility>

namespace qev {

ArchiveReader::ArchiveReader(SharedIndex index, uint32_t cacheSlots)
    : archive(std::move(index)),
      cache(std::max<uint32_t>(cacheSlots, 1)) {}

ArchiveReader::~ArchiveReader() = default;

std::unique_ptr<ArchiveReader> ArchiveReader::makeReader() const {
    auto reader = std::make_unique<ArchiveReader>(archive, uint32_t(cache.slotCount()));
    reader->blockHashes = blockHashes;
    return reader;
}

std::unique_ptr<ArchiveReader> openArchive(const std::filesystem::path& path) {
    auto index = ArchiveIndex::open(path);
    if (!index) return nullptr;
    return std::make_unique<ArchiveReader>(std::move(*index));
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
