// Making readers: from a path, from a stream, or from another reader's archive.
#include "archive/read/archive_reader.h"

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

}  // namespace qev
