// The data check: every block a file needs, read and decompressed once, on every core.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "archive/read/archive_index.h"

namespace qev {

struct BlockStats {
    uint64_t compressed = 0;
    uint64_t raw = 0;
    uint64_t storedBytes = 0;
};

// Counts the needed blocks by kind and their stored bytes; reads nothing.
BlockStats countBlocks(const ArchiveIndex& index, const std::vector<bool>& needed);

struct BlockFindings {
    std::vector<uint64_t> damaged;     // needed, and not decompressing to exactly 65536 bytes
    std::vector<uint64_t> mismatched;  // stored bytes unlike the integrity record's hash
    bool stopped = false;              // idle asked to stop: the lists are partial
};

// On `jobs` workers, each with its own reader: decompresses every needed block, and hashes
// every block `hashes` (the integrity record's, or null) names. Both lists ascend. `done`
// counts the blocks finished, for a progress line; `idle` runs about ten times a second on
// the calling thread and returns false to stop the workers early.
BlockFindings checkBlocks(const SharedIndex& index, const std::vector<bool>& needed,
                          const std::vector<uint32_t>* hashes, unsigned jobs, std::atomic<uint64_t>& done,
                          const std::function<bool()>& idle);

}  // namespace qev
