// Where blocks lie in the data section: pure arithmetic on the offset table.
#include "archive/read/archive_index.h"

namespace qev {

std::optional<BlockLocation> ArchiveIndex::locateBlock(uint64_t blockIndex) const {
    if (blockIndex >= blockCount_) return std::nullopt;
    std::optional<BlockOffsetRecord> read = offsetRecord(size_t(blockIndex / kBlocksPerRecord));
    if (!read) return std::nullopt;
    const BlockOffsetRecord& record = *read;
    uint32_t slot = uint32_t(blockIndex % kBlocksPerRecord);
    uint64_t before = 0;  // at most 15 * 65536, so this sum cannot wrap
    for (uint32_t i = 0; i < slot; ++i) before += uint64_t(record.storedSizes[i]) + 1;
    uint32_t length = uint32_t(record.storedSizes[slot]) + 1;
    // base + before may wrap past 2^64 in a hostile table, so compare without adding first.
    if (record.base > dataSize_ || before > dataSize_ - record.base) return std::nullopt;
    uint64_t relative = record.base + before;
    if (length > dataSize_ - relative) return std::nullopt;
    return BlockLocation{dataOffset_ + relative, length};
}

bool ArchiveIndex::fileBlocksLocatable(NodeId node) const {
    std::optional<TreeEntry> e = entry(node);
    if (!e || !e->isFile()) return false;
    if (e->fileSize() == 0) return true;
    // Start and size are below 2^48 each, so their sum cannot wrap.
    uint64_t first = e->fileStart() / kBlockSize;
    uint64_t last = (e->fileStart() + e->fileSize() - 1) / kBlockSize;
    // Checking the last block first bounds the walk by the size of the offset table.
    if (last >= blockCount_) return false;
    for (uint64_t b = first; b <= last; ++b) {
        if (!locateBlock(b)) return false;
    }
    return true;
}

}  // namespace qev
