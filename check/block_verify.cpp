#include "check/block_verify.h"

#include <algorithm>
#include <mutex>

#include "archive/archive_reader.h"
#include "console/workers.h"

namespace qev::check {
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

std::vector<uint64_t> damagedBlocks(const SharedIndex& index, const std::vector<bool>& needed,
                                    unsigned jobs, std::atomic<uint64_t>& done,
                                    const std::function<void()>& idle) {
    std::atomic<uint64_t> nextRun{0};
    std::mutex lock;
    std::vector<uint64_t> damaged;
    ReaderWorkers workers(index, jobs, [&](ArchiveReader& reader) {
        std::vector<uint8_t> block(kBlockSize);
        for (uint64_t from; !workers.failed() && (from = nextRun.fetch_add(kRun)) < needed.size();) {
            uint64_t to = std::min<uint64_t>(from + kRun, needed.size());
            for (uint64_t b = from; b < to; ++b) {
                if (!needed[b]) continue;
                if (!reader.loadBlock(b, block.data())) {
                    std::lock_guard<std::mutex> guard(lock);
                    damaged.push_back(b);
                }
                ++done;
            }
        }
    });
    workers.join(idle);
    std::sort(damaged.begin(), damaged.end());
    return damaged;
}

}  // namespace qev::check
