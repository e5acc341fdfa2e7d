#include "system/large_pages.h"

namespace qev {

// The ordinary allocator serves: large pages need a privilege most users lack.
void* allocateLargePages(size_t) { return nullptr; }
void freeLargePages(void*, size_t) {}

}  // namespace qev
