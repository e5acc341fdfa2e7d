#include "archive/read/block_cache.h"

#include <bit>

namespace qev {

BlockMap::BlockMap(uint32_t slotCount)
    : entries_(FixedArray<Entry>::uninitialized(std::bit_ceil(2 * size_t(slotCount)))),
      mask_(entries_.size() - 1),
      shift_(64 - std::countr_zero(entries_.size())) {
    for (Entry& e : entries_) e = {kNoBlock, nullptr};
}

size_t BlockMap::home(uint64_t blockIndex) const {
    // Fibonacci hashing; a shift of 64 (one entry) would be undefined, hence the mask.
    return size_t((blockIndex * 0x9E3779B97F4A7C15ULL) >> (shift_ & 63)) & mask_;
}

size_t BlockMap::position(uint64_t blockIndex) const {
    size_t i = home(blockIndex);
    while (entries_[i].blockIndex != kNoBlock && entries_[i].blockIndex != blockIndex) {
        i = (i + 1) & mask_;
    }
    return i;
}

CacheBlock* BlockMap::find(uint64_t blockIndex) const {
    const Entry& e = entries_[position(blockIndex)];
    return e.blockIndex == blockIndex ? e.slot : nullptr;
}

void BlockMap::insert(uint64_t blockIndex, CacheBlock* slot) {
    Entry& e = entries_[position(blockIndex)];
    if (e.blockIndex != blockIndex) ++size_;
    e = {blockIndex, slot};
}

void BlockMap::erase(uint64_t blockIndex) {
    size_t hole = position(blockIndex);
    if (entries_[hole].blockIndex != blockIndex) return;
    // Backward-shift deletion: pull later members of the probe run into the hole, so that
    // every entry stays reachable from its home without tombstones.
    for (size_t j = (hole + 1) & mask_; entries_[j].blockIndex != kNoBlock; j = (j + 1) & mask_) {
        size_t h = home(entries_[j].blockIndex);
        bool reachable = hole <= j ? (hole < h && h <= j) : (hole < h || h <= j);
        if (!reachable) {
            entries_[hole] = entries_[j];
            hole = j;
        }
    }
    entries_[hole] = {kNoBlock, nullptr};
    --size_;
}

BlockCache::BlockCache(uint32_t slotCount, uint32_t slotSize)
    : slotBuffers_(FixedArray<uint8_t>::zeroed(size_t(slotCount) * slotSize)),
      slots_(FixedArray<CacheBlock>::uninitialized(slotCount)),
      blockMap_(slotCount) {
    // Newest to oldest runs 63, 62, ..., 0, so the first misses fill slots 0, 1, 2, ...
    for (size_t i = 0; i < slotCount; ++i) {
        CacheBlock& s = slots_[i];
        s.buffer = slotBuffers_.data() + i * slotSize;
        s.blockIndex = kNoBlock;
        s.older = i > 0 ? &slots_[i - 1] : nullptr;
        s.newer = i + 1 < slotCount ? &slots_[i + 1] : nullptr;
    }
    oldest_ = &slots_[0];
    newest_ = &slots_[slotCount - 1];
}

void BlockCache::unlink(CacheBlock* slot) {
    (slot->older ? slot->older->newer : oldest_) = slot->newer;
    (slot->newer ? slot->newer->older : newest_) = slot->older;
    slot->older = slot->newer = nullptr;
}

void BlockCache::pushNewest(CacheBlock* slot) {
    slot->older = newest_;
    slot->newer = nullptr;
    (newest_ ? newest_->newer : oldest_) = slot;
    newest_ = slot;
}

CacheBlock* BlockCache::lookup(uint64_t blockIndex) {
    CacheBlock* slot = blockMap_.find(blockIndex);
    if (slot != nullptr && slot != newest_) {
        unlink(slot);
        pushNewest(slot);
    }
    return slot;
}

CacheBlock* BlockCache::claim(uint64_t blockIndex) {
    CacheBlock* slot = oldest_;
    if (slot->blockIndex != kNoBlock) blockMap_.erase(slot->blockIndex);
    slot->blockIndex = blockIndex;
    blockMap_.insert(blockIndex, slot);
    unlink(slot);
    pushNewest(slot);
    return slot;
}

void BlockCache::release(CacheBlock* slot) {
    blockMap_.erase(slot->blockIndex);
    slot->blockIndex = kNoBlock;
}

}  // namespace qev
