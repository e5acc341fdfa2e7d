#include "archive/write/parallel_blocks.h"

#include <zstd.h>

#include "archive/format/format.h"
#include "archive/write/archive_writer.h"

namespace qev::writer {

ParallelBlockWriter::ParallelBlockWriter(int level, unsigned jobs, Sink sink, std::function<void(size_t)> beforeStore)
    : level_(level),
      sink_(std::move(sink)),
      beforeStore_(std::move(beforeStore)),
      limit_(4 * size_t(std::max(1u, jobs)) + 2) {
    try {
        for (unsigned i = 0; i < std::max(1u, jobs); ++i) threads_.start([this] { compressLoop(); });
        threads_.start([this] { writeLoop(); });
    } catch (...) {
        // Those started are told to end and joined before the failure goes on.
        stop();
        throw;
    }
}

ParallelBlockWriter::~ParallelBlockWriter() { stop(); }

void ParallelBlockWriter::stop() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        closing_ = true;
    }
    changed_.notify_all();
    threads_.joinAll();
}

void ParallelBlockWriter::fail(std::exception_ptr error) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!failure_) failure_ = error;
    closing_ = true;
    changed_.notify_all();
}

void ParallelBlockWriter::rethrowFailure() {
    std::lock_guard<std::mutex> guard(lock_);
    if (failure_) std::rethrow_exception(failure_);
}

uint64_t ParallelBlockWriter::storedBytes() const {
    std::lock_guard<std::mutex> guard(lock_);
    return storedBytes_;
}

void ParallelBlockWriter::submitCurrent() {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [&] { return submitted_ - written_ < limit_ || failure_; });
    if (failure_) std::rethrow_exception(failure_);
    jobs_.push_back({submitted_++, std::move(current_)});
    if (!free_.empty()) {
        current_ = std::move(free_.back());
        free_.pop_back();
        current_->clear();
    }
    changed_.notify_all();
}

void ParallelBlockWriter::append(std::string_view bytes) {
    while (!bytes.empty()) {
        if (!current_) {
            current_ = std::make_unique<std::string>();
            current_->reserve(kBlockSize);
        }
        size_t take = std::min<size_t>(kBlockSize - current_->size(), bytes.size());
        current_->append(bytes.substr(0, take));
        bytes.remove_prefix(take);
        position_ += take;
        if (current_->size() == kBlockSize) submitCurrent();
    }
}

void ParallelBlockWriter::padToBoundary() {
    uint64_t within = position_ % kBlockSize;
    if (within != 0) append(std::string(kBlockSize - within, '\0'));
}

std::vector<uint32_t> ParallelBlockWriter::finish() {
    padToBoundary();
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [&] { return written_ == submitted_ || failure_; });
    if (failure_) std::rethrow_exception(failure_);
    return lengths_;
}

// Each thread's whole body is guarded: what it throws, from its first allocation on, is
// handed to the owner, never std::terminate.
void ParallelBlockWriter::compressLoop() {
    try {
        compressJobs();
    } catch (...) {
        fail(std::current_exception());
    }
}

void ParallelBlockWriter::writeLoop() {
    try {
        writeInOrder();
    } catch (...) {
        fail(std::current_exception());
    }
}

void ParallelBlockWriter::compressJobs() {
    std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx*)> context(ZSTD_createCCtx(), ZSTD_freeCCtx);
    if (!context) throw std::bad_alloc();
    std::string scratch(ZSTD_compressBound(kBlockSize), '\0');
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> guard(lock_);
            changed_.wait(guard, [&] { return closing_ || !jobs_.empty(); });
            if (jobs_.empty() || failure_) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        if (beforeStore_) beforeStore_(job.index);
        size_t n = ZSTD_compressCCtx(context.get(), scratch.data(), scratch.size(), job.block->data(),
                                     job.block->size(), level_);
        if (ZSTD_isError(n)) throw CompressionError(ZSTD_getErrorName(n));
        // A block that does not shrink below 64 KiB is stored raw.
        std::string stored = n < kBlockSize ? scratch.substr(0, n) : *job.block;
        std::lock_guard<std::mutex> guard(lock_);
        done_.emplace(job.index, std::move(stored));
        free_.push_back(std::move(job.block));
        changed_.notify_all();
    }
}

void ParallelBlockWriter::writeInOrder() {
    for (;;) {
        std::string stored;
        {
            std::unique_lock<std::mutex> guard(lock_);
            changed_.wait(guard, [&] {
                return failure_ || done_.count(written_) != 0 || (closing_ && jobs_.empty() && done_.empty());
            });
            if (failure_ || done_.count(written_) == 0) return;
            auto it = done_.find(written_);
            stored = std::move(it->second);
            done_.erase(it);
        }
        sink_(stored);
        std::lock_guard<std::mutex> guard(lock_);
        lengths_.push_back(uint32_t(stored.size()));
        storedBytes_ += stored.size();
        ++written_;
        changed_.notify_all();
    }
}

}  // namespace qev::writer
