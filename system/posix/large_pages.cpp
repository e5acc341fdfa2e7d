#include "system/large_pages.h"

#include <sys/mman.h>

#include <cstdint>

namespace qev {

namespace {

constexpr size_t kLargePage = size_t(2) << 20;

size_t roundUp(size_t bytes) { return (bytes + kLargePage - 1) / kLargePage * kLargePage; }

}  // namespace

void* allocateLargePages(size_t bytes) {
    // Map one large page more than needed, so that an aligned run of them fits inside.
    size_t length = roundUp(bytes);
    size_t mapped = length + kLargePage;
    void* raw = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    auto start = reinterpret_cast<uintptr_t>(raw);
    uintptr_t aligned = (start + kLargePage - 1) / kLargePage * kLargePage;
    if (aligned > start) ::munmap(raw, aligned - start);
    uintptr_t end = aligned + length;
    if (start + mapped > end) ::munmap(reinterpret_cast<void*>(end), start + mapped - end);
    ::madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
}

void freeLargePages(void* p, size_t bytes) { ::munmap(p, roundUp(bytes)); }

}  // namespace qev
