// Locating, fetching and copying blocks: readFile and the block cache's misses.
#include <algorithm>
#include <cstring>

#include "archive/format/block_hash.h"
#include "archive/read/archive_reader.h"

namespace qev {

bool ArchiveReader::loadBlock(uint64_t blockIndex, uint8_t* destination, std::optional<uint32_t>* storedHash) {
    std::lock_guard<std::mutex> lock(readLock_);
    return loadBlockLocked(blockIndex, destination, storedHash);
}

bool ArchiveReader::loadBlockLocked(uint64_t blockIndex, uint8_t* destination, std::optional<uint32_t>* storedHash) {
    return decoder_.load(*index_, blockHashes_.get(), blockIndex, destination, storedHash);
}

void ArchiveReader::checkBlocksAgainst(std::shared_ptr<const std::vector<uint32_t>> hashes) {
    std::lock_guard<std::mutex> lock(readLock_);
    blockHashes_ = std::move(hashes);
}

std::optional<uint32_t> ArchiveReader::hashStoredBlock(uint64_t blockIndex) {
    std::lock_guard<std::mutex> lock(readLock_);
    return decoder_.hashStored(*index_, blockIndex);
}

CacheBlock* ArchiveReader::fetchBlock(uint64_t blockIndex) {
    if (CacheBlock* hit = cache_.lookup(blockIndex)) return hit;
    if (blockIndex >= index_->blockCount()) return nullptr;
    CacheBlock* slot = cache_.claim(blockIndex);
    if (loadBlockLocked(blockIndex, slot->buffer)) return slot;
    cache_.release(slot);
    return nullptr;
}

const uint8_t* ArchiveReader::blockForCopy(uint64_t blockIndex, bool wantedWhole, bool direct, uint8_t* destination) {
    // A read larger than the cache would only evict its own blocks again: whole blocks
    // of it that are not cached are decompressed straight into the caller's memory,
    // sparing a copy and the cache's pages.
    if (direct && wantedWhole) {
        if (CacheBlock* hit = cache_.lookup(blockIndex)) return hit->buffer;
        return loadBlockLocked(blockIndex, destination) ? destination : nullptr;
    }
    CacheBlock* slot = fetchBlock(blockIndex);
    return slot != nullptr ? slot->buffer : nullptr;
}

uint64_t ArchiveReader::readFile(NodeId node, uint64_t position, uint64_t length, uint8_t* destination) {
    if (node >= index_->treeSize()) return 0;
    std::lock_guard<std::mutex> lock(readLock_);
    uint64_t size = index_->fileSize(node);
    if (!index_->isFile(node) || position >= size) return 0;
    uint64_t count = std::min(length, size - position);
    uint64_t streamPos = index_->fileStart(node) + position;  // both below 2^48
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
    if (index_->file().changedSinceOpen()) return 0;
    return count;
}

}  // namespace qev
