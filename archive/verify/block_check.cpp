#include "archive/verify/block_check.h"

#include <algorithm>
#include <mutex>

#include "archive/read/archive_reader.h"
#include "archive/read/reader_workers.h"

namespace qev {
namespace {

// Workers take runs of blocks, so that neighbouring blocks are read in order.
constexpr uint64_t kRun = 64;

}  // namespace

BlockStats countBlocks(const ArchiveIndex& index, const std::vector<bool>& needed) {
    BlockStats stats;
    for (uint64_t b = 0; b < needed.size(); ++b) {
        if (!needed[b]) continue;
        std::optional<BlockLocation> at = index.locateBlock(b);
        if (!at) continue;
        (at->storedLength == kBlockSize ? stats.raw : stats.compressed) += 1;
        stats.storedBytes += at->storedLength;
    }
    return stats;
}

BlockFindings checkBlocks(const SharedIndex& index, const std::vector<bool>& needed,
                          const std::vector<uint32_t>* hashes, unsigned jobs, std::atomic<uint64_t>& done,
                          const std::function<bool()>& idle) {
    uint64_t count = std::max<uint64_t>(needed.size(), hashes != nullptr ? hashes->size() : 0);
    std::atomic<uint64_t> nextRun{0};
    std::mutex lock;
    std::atomic<bool> stop{false};
    BlockFindings found;
    ReaderWorkers workers(index, jobs, [&](ArchiveReader& reader) {
        std::vector<uint8_t> block(kBlockSize);
        for (uint64_t from; !workers.failed() && !stop && (from = nextRun.fetch_add(kRun)) < count;) {
            uint64_t to = std::min<uint64_t>(from + kRun, count);
            for (uint64_t b = from; b < to; ++b) {
                bool hashed = hashes != nullptr && b < hashes->size();
                bool isNeeded = b < needed.size() && needed[b];
                // A needed block is read once, for its hash and to decompress it.
                std::optional<uint32_t> stored;
                bool damaged = isNeeded && !reader.loadBlock(b, block.data(), &stored);
                if (hashed && !isNeeded) stored = reader.hashStoredBlock(b);
                bool mismatch = hashed && stored != (*hashes)[b];
                if (mismatch || damaged) {
                    std::lock_guard<std::mutex> guard(lock);
                    if (mismatch) found.mismatched.push_back(b);
                    if (damaged) found.damaged.push_back(b);
                }
                if (hashed || isNeeded) ++done;
            }
        }
    });
    workers.join([&] {
        if (!idle()) stop = true;
    });
    found.stopped = stop;
    std::sort(found.damaged.begin(), found.damaged.end());
    std::sort(found.mismatched.begin(), found.mismatched.end());
    return found;
}

}  // namespace qev
