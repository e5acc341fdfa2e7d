// Locating, fetching and copying blocks: readFile and the block cache's misses.
#include <zstd.h>

#include <algorithm>
#include <cstring>

#include "archive/archive_reader.h"

namespace qev {

std::optional<BlockLocation> ArchiveReader::locateBlock(uint64_t blockIndex) const {
    if (blockIndex >= blockCount) return std::nullopt;
    const BlockOffsetRecord& record = offsetRecords[blockIndex / kBlocksPerRecord];
    uint32_t slot = uint32_t(blockIndex % kBlocksPerRecord);
    uint64_t before = 0;  // at most 15 * 65536, so this sum cannot wrap
    for (uint32_t i = 0; i < slot; ++i) before += uint64_t(record.storedSizes[i]) + 1;
    uint32_t length = uint32_t(record.storedSizes[slot]) + 1;
    // base + before may wrap past 2^64 in a hostile table, so compare without adding first.
    if (record.base > dataSize || before > dataSize - record.base) return std::nullopt;
    uint64_t relative = record.base + before;
    if (length > dataSize - relative) return std::nullopt;
    return BlockLocation{dataOffset + relative, length};
}

bool ArchiveReader::fileBlocksLocatable(NodeId node) const {
    const TreeEntry* e = entry(node);
    if (e == nullptr || !e->isFile()) return false;
    if (e->fileSize() == 0) return true;
    // Start and size are below 2^48 each, so their sum cannot wrap.
    uint64_t first = e->fileStart() / kBlockSize;
    uint64_t last = (e->fileStart() + e->fileSize() - 1) / kBlockSize;
    // Checking the last block first bounds the walk by the size of the offset table.
    if (last >= blockCount) return false;
    for (uint64_t b = first; b <= last; ++b) {
        if (!locateBlock(b)) return false;
    }
    return true;
}

bool ArchiveReader::loadBlock(uint64_t blockIndex, uint8_t* destination) {
    std::optional<BlockLocation> at = locateBlock(blockIndex);
    if (!at) return false;
    if (at->storedLength == kBlockSize) {
        return readAt(*stream, at->fileOffset, destination, kBlockSize);
    }
    if (!readAt(*stream, at->fileOffset, compressedBuffer.data(), at->storedLength)) return false;
    // Error results are huge values, so only a full block passes.
    size_t produced = ZSTD_decompressDCtx(decompressor.get(), destination, kBlockSize,
                                          compressedBuffer.data(), at->storedLength);
    return produced == kBlockSize;
}

CacheBlock* ArchiveReader::fetchBlock(uint64_t blockIndex) {
    if (CacheBlock* hit = cache.lookup(blockIndex)) return hit;
    if (blockIndex >= blockCount) return nullptr;
    CacheBlock* slot = cache.claim(blockIndex);
    if (loadBlock(blockIndex, slot->buffer)) return slot;
    cache.release(slot);
    return nullptr;
}

const uint8_t* ArchiveReader::blockForCopy(uint64_t blockIndex, bool wantedWhole, bool direct,
                                           uint8_t* destination) {
    // A read larger than the cache would only evict its own blocks again: whole blocks
    // of it that are not cached are decompressed straight into the caller's memory,
    // sparing a copy and the cache's pages.
    if (direct && wantedWhole) {
        if (CacheBlock* hit = cache.lookup(blockIndex)) return hit->buffer;
        return loadBlock(blockIndex, destination) ? destination : nullptr;
    }
    CacheBlock* slot = fetchBlock(blockIndex);
    return slot != nullptr ? slot->buffer : nullptr;
}

uint64_t ArchiveReader::readFile(NodeId node, uint64_t position, uint64_t length,
                                 uint8_t* destination) {
    if (node >= treeEntries.size()) return 0;
    std::lock_guard<std::mutex> lock(readLock);
    const TreeEntry& e = treeEntries[node];
    if (!e.isFile() || position >= e.fileSize()) return 0;
    uint64_t count = std::min(length, e.fileSize() - position);
    uint64_t streamPos = e.fileStart() + position;  // both below 2^48
    bool direct = count / kBlockSize > kCacheSlotCount;
    for (uint64_t remaining = count; remaining > 0;) {
        uint64_t within = streamPos % kBlockSize;
        uint64_t n = std::min<uint64_t>(kBlockSize - within, remaining);
        const uint8_t* block = blockForCopy(streamPos / kBlockSize, n == kBlockSize, direct, destination);
        if (block == nullptr) return 0;
        // Copied under the lock: a concurrent miss could otherwise reuse the slot.
        if (block != destination) std::memcpy(destination, block + within, size_t(n));
        destination += n;
        streamPos += n;
        remaining -= n;
    }
    // Bytes read from a file that another process has rewritten or cut may be wrong.
    if (fileStream != nullptr && fileStream->changedSinceOpen()) return 0;
    return count;
}

}  // namespace qev
