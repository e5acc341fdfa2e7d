// Making readers: from a path, or from another reader's archive.
#include "archive/read/archive_reader.h"

#include <algorithm>
#include <new>
#include <utility>

namespace qev {

ArchiveReader::ArchiveReader(SharedIndex index, uint32_t cacheSlots)
    : index_(std::move(index)), cache_(std::max<uint32_t>(cacheSlots, 1)) {}

ArchiveReader::~ArchiveReader() = default;

std::unique_ptr<ArchiveReader> ArchiveReader::makeReader() const {
    auto reader = std::make_unique<ArchiveReader>(index_, uint32_t(cache_.slotCount()));
    reader->blockHashes_ = blockHashes_;
    return reader;
}

std::unique_ptr<ArchiveReader> openArchive(const std::filesystem::path& path) {
    auto index = ArchiveIndex::open(path);
    if (!index) return nullptr;
    return std::make_unique<ArchiveReader>(std::move(*index));
}

}  // namespace qev
