// Slots of one size shared by threads and by archives, least recently used out first: the
// one cache of table pages, or of decompressed blocks, that every archive of a process
// draws on, so that memory stays bounded however many archives are open.
//
// Bytes are copied in and out under the cache's lock; nobody keeps a pointer into a slot
// that another thread could take over.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "archive/read/block_cache.h"

namespace qev {

class SharedCache {
public:
    // At least one slot; slots cost memory only once filled.
    SharedCache(uint32_t slotCount, uint32_t slotSize);
    SharedCache(const SharedCache&) = delete;
    SharedCache& operator=(const SharedCache&) = delete;

    // Copies `length` bytes from `offset` of the slot holding `key`, and makes it the most
    // recently used; false on a miss. offset + length is at most the slot size.
    bool copyOut(uint64_t key, uint32_t offset, uint8_t* destination, uint32_t length);
    // Keeps a slot's worth of `bytes` under `key`, in place of the least recently used.
    void store(uint64_t key, const uint8_t* bytes);
    uint32_t slotSize() const { return slotSize_; }
    uint32_t slotCount() const { return slotCount_; }
    // A number for one user of the cache (an opened archive), never handed out twice, that
    // keys carry in their high bits. Below 2^30.
    uint32_t newOwner();

private:
    const uint32_t slotSize_;
    const uint32_t slotCount_;
    std::mutex lock_;
    BlockCache cache_;
    std::atomic<uint32_t> owners_{0};
};

}  // namespace qev
