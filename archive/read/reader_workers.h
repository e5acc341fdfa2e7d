// N workers, each with its own reader of the one opened archive.
//
// Threads are started and joined safely: a thread that cannot start, or a worker that
// throws (running out of memory, say), never ends the program through std::terminate.
// The failure is kept, the other workers are told through failed(), and join() hands it to
// the calling thread, where the program shell turns it into one error line while the
// owners' destructors remove what was half done.
#pragma once

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <vector>

#include "archive/read/archive_reader.h"
#include "system/thread_group.h"

namespace qev {

class ReaderWorkers {
public:
    using Work = std::function<void(ArchiveReader& reader)>;

    // Starts `count` workers, each running `work` with a reader of its own made on its own
    // thread. `onFailure` runs once, on the failing thread, when a worker throws or a
    // thread cannot start: it should wake whatever the workers and their owner wait on.
    // With `blockHashes`, every reader checks each block against them (see ArchiveReader).
    ReaderWorkers(const SharedIndex& index, unsigned count, Work work, std::function<void()> onFailure = {},
                  std::shared_ptr<const std::vector<uint32_t>> blockHashes = nullptr);
    // Joins whatever still runs; the owner must first let the workers return.
    ~ReaderWorkers();
    ReaderWorkers(const ReaderWorkers&) = delete;
    ReaderWorkers& operator=(const ReaderWorkers&) = delete;

    // Whether a worker failed or a thread did not start: the others should stop early.
    bool failed() const { return failed_; }
    // Waits until every worker has returned, calling `idle` about ten times a second, then
    // rethrows the first failure.
    void join(const std::function<void()>& idle = {});
    // Rethrows the first failure, if any, without waiting.
    void rethrowFailure();

private:
    void fail(std::exception_ptr failure);

    std::mutex lock_;
    std::condition_variable allDone_;
    unsigned running_ = 0;
    std::exception_ptr failure_;
    std::atomic<bool> failed_{false};
    std::function<void()> onFailure_;
    ThreadGroup threads_;  // last: joined before the rest goes
};

}  // namespace qev
