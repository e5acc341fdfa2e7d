// The data stream, compressed on several cores and written in order. The caller appends
// stream bytes on one thread; full 64 KiB blocks go to workers that compress each on its
// own, and a writer thread hands the stored blocks to the sink in stream order. The bytes
// written depend only on the stream and the level, never on the number of workers.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "system/thread_group.h"

namespace qev::writer {

class ParallelBlockWriter {
public:
    using Sink = std::function<void(std::string_view stored)>;
    // `beforeStore` is called by a worker with each block's index; tests throw from it.
    ParallelBlockWriter(int level, unsigned jobs, Sink sink, std::function<void(size_t blockIndex)> beforeStore = {});
    ~ParallelBlockWriter();
    ParallelBlockWriter(const ParallelBlockWriter&) = delete;
    ParallelBlockWriter& operator=(const ParallelBlockWriter&) = delete;

    // Adds stream bytes. Waits while too many blocks are in flight. Rethrows the first
    // failure of a worker or of the sink.
    void append(std::string_view bytes);
    // Zeros up to the next block boundary; nothing when already on one.
    void padToBoundary();
    // The stream position of the next byte appended.
    uint64_t position() const { return position_; }
    // Pads the last block, waits until every block is written and returns the stored
    // lengths in block order. Rethrows a failure.
    std::vector<uint32_t> finish();
    // Stored bytes handed to the sink so far.
    uint64_t storedBytes() const;

private:
    struct Job {
        size_t index;
        std::unique_ptr<std::string> block;
    };

    void submitCurrent();
    void compressLoop();
    void writeLoop();
    void compressJobs();
    void writeInOrder();
    void fail(std::exception_ptr error);
    void stop();
    void rethrowFailure();

    int level_;
    Sink sink_;
    std::function<void(size_t)> beforeStore_;
    uint64_t position_ = 0;
    std::unique_ptr<std::string> current_;
    size_t submitted_ = 0;

    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::deque<Job> jobs_;                            // waiting for a worker
    std::map<size_t, std::string> done_;              // compressed, waiting for their turn
    std::vector<std::unique_ptr<std::string>> free_;  // block buffers to reuse
    size_t limit_;
    size_t written_ = 0;
    uint64_t storedBytes_ = 0;
    std::vector<uint32_t> lengths_;
    bool closing_ = false;
    std::exception_ptr failure_;
    ThreadGroup threads_;  // the compressing workers and the writer
};

}  // namespace qev::writer
