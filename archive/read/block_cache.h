// The cache of decompressed blocks: a fixed number of slots (64 unless asked otherwise,
// each of one block unless asked otherwise) kept in least-recently-used order.
//
// The cache only keeps slots in order and finds them by block index; filling a slot
// with a block's bytes is the reader's business. Nothing here allocates after
// construction, and nothing here is thread-safe: the reader's lock guards it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "archive/format/fixed_array.h"
#include "archive/format/format.h"

namespace qev {

inline constexpr uint32_t kCacheSlotCount = 64;
inline constexpr uint64_t kNoBlock = 0xFFFFFFFFFFFFFFFF;

struct CacheBlock {
    uint8_t* buffer;      // the slot's bytes inside the cache's slot area, fixed for life
    uint64_t blockIndex;  // kNoBlock while the slot is empty
    CacheBlock* older;    // null at the least recently used end
    CacheBlock* newer;    // null at the most recently used end
};

// A fixed-capacity hash map from block index to slot; it never holds more entries than
// there are slots, so it never grows and never allocates after construction.
class BlockMap {
public:
    explicit BlockMap(uint32_t slotCount);
    CacheBlock* find(uint64_t blockIndex) const;
    void insert(uint64_t blockIndex, CacheBlock* slot);
    void erase(uint64_t blockIndex);
    size_t size() const { return size_; }

private:
    struct Entry {
        uint64_t blockIndex;  // kNoBlock marks a free entry
        CacheBlock* slot;
    };

    size_t home(uint64_t blockIndex) const;
    size_t position(uint64_t blockIndex) const;  // its entry, or the free entry ending its run

    // A power of two at least twice the slot count keeps probe runs short.
    FixedArray<Entry> entries_;
    size_t mask_;
    int shift_;
    size_t size_ = 0;
};

class BlockCache {
public:
    // `slotCount` is at least 1. The slot area is zeroed pages of the system: a slot costs
    // memory only once it is filled.
    explicit BlockCache(uint32_t slotCount = kCacheSlotCount, uint32_t slotSize = kBlockSize);
    BlockCache(const BlockCache&) = delete;
    BlockCache& operator=(const BlockCache&) = delete;

    // The slot holding `blockIndex`, made the most recently used; null on a miss, which
    // leaves the order unchanged.
    CacheBlock* lookup(uint64_t blockIndex);
    // Empties the least recently used slot (its block is gone whatever follows), assigns it
    // to `blockIndex` and makes it the most recently used. The caller fills its buffer.
    CacheBlock* claim(uint64_t blockIndex);
    // Empties a slot whose filling failed; it keeps its place in the order.
    void release(CacheBlock* slot);

    const CacheBlock* oldestSlot() const { return oldest_; }
    const CacheBlock* newestSlot() const { return newest_; }
    const CacheBlock& slotAt(size_t i) const { return slots_[i]; }
    size_t filledCount() const { return blockMap_.size(); }
    size_t slotCount() const { return slots_.size(); }

private:
    void unlink(CacheBlock* slot);
    void pushNewest(CacheBlock* slot);

    FixedArray<uint8_t> slotBuffers_;
    FixedArray<CacheBlock> slots_;
    CacheBlock* oldest_ = nullptr;
    CacheBlock* newest_ = nullptr;
    BlockMap blockMap_;
};

}  // namespace qev
