// Memory for large arrays in large pages, where the system offers them.
#pragma once

#include <cstddef>

namespace qev {

// Below this size the ordinary allocator serves better.
inline constexpr size_t kLargePageThreshold = size_t(4) << 20;

// Anonymous memory of at least `bytes`, asked to be backed by large pages; null where
// that is not available, and the caller falls back to the ordinary allocator.
void* allocateLargePages(size_t bytes);
void freeLargePages(void* p, size_t bytes);

}  // namespace qev
