#include "archive/read/block_cache.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

namespace qev {
namespace {

// Slot numbers from newest to oldest, checking that the back links agree.
std::vector<size_t> order(const BlockCache& cache) {
    std::vector<size_t> out;
    const CacheBlock* prev = nullptr;
    for (const CacheBlock* s = cache.newestSlot(); s != nullptr; s = s->older) {
        EXPECT_EQ(s->newer, prev);
        out.push_back(size_t(s - &cache.slotAt(0)));
        prev = s;
    }
    EXPECT_EQ(prev, cache.oldestSlot());
    return out;
}

std::vector<size_t> descending(size_t from, size_t to) {
    std::vector<size_t> v;
    for (size_t i = from + 1; i-- > to;) v.push_back(i);
    return v;
}

TEST(BlockCache, StartsEmptyWithSlotZeroOldest) {
    BlockCache cache;
    EXPECT_EQ(order(cache), descending(63, 0));
    for (size_t i = 0; i < kCacheSlotCount; ++i) {
        EXPECT_EQ(cache.slotAt(i).blockIndex, kNoBlock);
        EXPECT_EQ(cache.slotAt(i).buffer, cache.slotAt(0).buffer + i * kBlockSize);
    }
    EXPECT_EQ(cache.lookup(0), nullptr);
    EXPECT_EQ(cache.filledCount(), 0u);
}

TEST(BlockCache, MissesFillSlotsInTurnThenEvictTheLeastRecentlyUsed) {
    BlockCache cache;
    for (uint64_t b = 0; b < 64; ++b) EXPECT_EQ(cache.claim(b * 7), &cache.slotAt(b));
    EXPECT_EQ(cache.filledCount(), 64u);
    // The 65th block reuses slot 0 and the first block is gone.
    EXPECT_EQ(cache.claim(1000), &cache.slotAt(0));
    EXPECT_EQ(cache.lookup(0), nullptr);
    EXPECT_EQ(cache.lookup(7), &cache.slotAt(1));
    EXPECT_EQ(cache.filledCount(), 64u);
}

TEST(BlockCache, HitRefreshesRecency) {
    BlockCache cache;
    for (uint64_t b = 0; b < 64; ++b) cache.claim(b);
    EXPECT_EQ(cache.lookup(0), &cache.slotAt(0));
    EXPECT_EQ(cache.newestSlot(), &cache.slotAt(0));
    // Block 1 is now the least recently used, so the next miss takes its slot.
    EXPECT_EQ(cache.claim(64), &cache.slotAt(1));
    EXPECT_EQ(cache.lookup(1), nullptr);
    EXPECT_EQ(cache.lookup(0), &cache.slotAt(0));
    // A hit on the newest slot changes nothing.
    std::vector<size_t> before = order(cache);
    cache.lookup(0);
    EXPECT_EQ(order(cache), before);
}

TEST(BlockCache, ReleasedSlotStaysNewestAndEmpty) {
    BlockCache cache;
    cache.claim(10);
    cache.claim(11);
    CacheBlock* failed = cache.claim(12);
    cache.release(failed);
    EXPECT_EQ(failed->blockIndex, kNoBlock);
    EXPECT_EQ(cache.newestSlot(), failed);
    EXPECT_EQ(cache.lookup(12), nullptr);
    EXPECT_EQ(cache.lookup(10), &cache.slotAt(0));
    EXPECT_EQ(cache.lookup(11), &cache.slotAt(1));
    EXPECT_EQ(cache.filledCount(), 2u);
}

TEST(BlockMap, AgreesWithAModelUnderHeavyChurn) {
    // Random inserts and erases over few keys make long probe runs and wrap-arounds,
    // which is where backward-shift deletion goes wrong if it does; at every size a
    // cache may be given, down to one slot.
    for (uint32_t slotCount : {1u, 3u, kCacheSlotCount, 1000u}) {
        BlockMap map(slotCount);
        std::map<uint64_t, CacheBlock*> model;
        std::vector<CacheBlock> slots(slotCount);
        std::mt19937_64 rng(42);
        for (int step = 0; step < 100000; ++step) {
            uint64_t key = rng() % (6 * slotCount + 4);
            if (model.size() < slotCount && rng() % 2 == 0) {
                CacheBlock* slot = &slots[rng() % slots.size()];
                map.insert(key, slot);
                model[key] = slot;
            } else {
                map.erase(key);
                model.erase(key);
            }
            ASSERT_EQ(map.size(), model.size());
            uint64_t probe = rng() % (6 * slotCount + 4);
            auto it = model.find(probe);
            ASSERT_EQ(map.find(probe), it == model.end() ? nullptr : it->second) << slotCount << " " << step;
        }
        for (const auto& [key, slot] : model) EXPECT_EQ(map.find(key), slot);
    }
}

}  // namespace
}  // namespace qev
