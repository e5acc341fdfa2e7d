#include "archive/read/reader_workers.h"

#include <chrono>
#include <memory>

namespace qev {

ReaderWorkers::ReaderWorkers(const SharedIndex& index, unsigned count, Work work, std::function<void()> onFailure,
                             std::shared_ptr<const std::vector<uint32_t>> blockHashes)
    : onFailure_(std::move(onFailure)) {
    for (unsigned i = 0; i < count; ++i) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            ++running_;
        }
        try {
            threads_.start([this, index, work, blockHashes] {
                try {
                    ArchiveReader reader(index);
                    if (blockHashes) reader.checkBlocksAgainst(blockHashes);
                    work(reader);
                } catch (...) {
                    fail(std::current_exception());
                }
                std::lock_guard<std::mutex> guard(lock_);
                if (--running_ == 0) allDone_.notify_all();
            });
        } catch (const std::exception&) {
            {
                std::lock_guard<std::mutex> guard(lock_);
                --running_;
            }
            fail(std::current_exception());
            break;
        }
    }
}

ReaderWorkers::~ReaderWorkers() = default;

void ReaderWorkers::fail(std::exception_ptr failure) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (failure_) return;
        failure_ = std::move(failure);
        failed_ = true;
    }
    if (onFailure_) onFailure_();
}

void ReaderWorkers::join(const std::function<void()>& idle) {
    std::unique_lock<std::mutex> waiting(lock_);
    while (!allDone_.wait_for(waiting, std::chrono::milliseconds(100), [&] { return running_ == 0; })) {
        waiting.unlock();
        if (idle) idle();
        waiting.lock();
    }
    waiting.unlock();
    threads_.joinAll();
    rethrowFailure();
}

void ReaderWorkers::rethrowFailure() {
    std::lock_guard<std::mutex> guard(lock_);
    if (failure_) std::rethrow_exception(failure_);
}

}  // namespace qev
