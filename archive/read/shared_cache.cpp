#include "archive/read/shared_cache.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace qev {

SharedCache::SharedCache(uint32_t slotCount, uint32_t slotSize)
    : slotSize_(slotSize), slotCount_(std::max<uint32_t>(slotCount, 1)), cache_(slotCount_, slotSize) {}

bool SharedCache::copyOut(uint64_t key, uint32_t offset, uint8_t* destination, uint32_t length) {
    std::lock_guard<std::mutex> lock(lock_);
    CacheBlock* slot = cache_.lookup(key);
    if (slot == nullptr) return false;
    std::memcpy(destination, slot->buffer + offset, length);
    return true;
}

void SharedCache::store(uint64_t key, const uint8_t* bytes) {
    std::lock_guard<std::mutex> lock(lock_);
    CacheBlock* slot = cache_.lookup(key);
    if (slot == nullptr) slot = cache_.claim(key);
    std::memcpy(slot->buffer, bytes, slotSize_);
}

uint32_t SharedCache::newOwner() {
    uint32_t owner = ++owners_;
    // Keys hold the owner in their top 30 bits; a process that opened a billion archives
    // would start sharing keys, so it is refused instead.
    if (owner >= (uint32_t(1) << 30)) throw std::length_error("too many archives opened");
    return owner;
}

}  // namespace qev
