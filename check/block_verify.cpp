#include "check/block_verify.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "archive/archive_reader.h"

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
    unsigned running = jobs;
    std::mutex lock;
    std::condition_variable finished;
    std::vector<uint64_t> damaged;
    auto work = [&] {
        ArchiveReader reader(index);
        std::vector<uint8_t> block(kBlockSize);
        for (uint64_t from; (from = nextRun.fetch_add(kRun)) < needed.size();) {
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
        std::lock_guard<std::mutex> guard(lock);
        if (--running == 0) finished.notify_all();
    };
    std::vector<std::thread> workers;
    for (unsigned i = 0; i < jobs; ++i) workers.emplace_back(work);
    std::unique_lock<std::mutex> waiting(lock);
    while (!finished.wait_for(waiting, std::chrono::milliseconds(100), [&] { return running == 0; })) {
        waiting.unlock();
        idle();
        waiting.lock();
    }
    waiting.unlock();
    for (auto& w : workers) w.join();
    std::sort(damaged.begin(), damaged.end());
    return damaged;
}

}  // namespace qev::check
