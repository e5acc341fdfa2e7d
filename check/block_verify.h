// The data check: every block a file needs, read and decompressed once, on every core.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "archive/archive_index.h"

namespace qev::check {

struct BlockStats {
    uint64_t compressed = 0;
    uint64_t raw = 0;
    uint64_t storedBytes = 0;
};

// Counts the needed blocks by kind and their stored bytes; reads nothing.
BlockStats countBlocks(const ArchiveIndex& index, const std::vector<bool>& needed);

// Decompresses every needed block on `jobs` workers, each with its own reader, and returns
// those that do not give exactly 65536 bytes, in ascending order. `done` counts the blocks
// finished, for a progress line.
std::vector<uint64_t> damagedBlocks(const SharedIndex& index, const std::vector<bool>& needed,
                                    unsigned jobs, std::atomic<uint64_t>& done,
                                    const std::function<void()>& idle);

}  // namespace qev::check
