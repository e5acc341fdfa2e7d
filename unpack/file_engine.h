// Writing files on every core. Each file is cut into chunks of at most 1 MiB; workers, each
// with its own reader of the one opened archive, decompress chunks and write them at their
// offsets into a temporary file in the file's own directory. The worker that finishes a
// file's last chunk renames it into place, or removes it when any chunk failed: a file is
// there whole, or not at all.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "console/workers.h"
#include "system/new_file.h"
#include "unpack/unpack_plan.h"

namespace qev::unpack {

inline constexpr uint64_t kChunkSize = uint64_t(1) << 20;

struct EngineCounts {
    uint64_t filesDone = 0;
    uint64_t bytesDone = 0;
    uint64_t failures = 0;
};

class FileEngine {
public:
    // `modified` is the time every file gets. `stop` is raised by a signal: work still
    // queued is dropped and its temporaries removed.
    FileEngine(const SharedIndex& index, unsigned jobs, FileTime modified, const std::atomic<int>& stop);
    ~FileEngine();
    FileEngine(const FileEngine&) = delete;
    FileEngine& operator=(const FileEngine&) = delete;

    // Queues file `node`, to be written as `name` in `dir`, which is `plan`'s `planDir`: the
    // plan names it in messages, and must outlive finish().
    // Waits while the queue is full, calling `idle` now and then. False once stopped.
    // Both rethrow a worker's failure (see ReaderWorkers).
    bool add(const SharedDir& dir, std::string name, const Plan& plan, uint32_t planDir, NodeId node,
             const std::function<void()>& idle);
    // Waits until every queued file is written or removed.
    void finish(const std::function<void()>& idle);

    EngineCounts counts() const;
    // Error lines the workers produced since the last call, for the main thread to print.
    std::vector<std::string> takeMessages();

private:
    struct OutputFile;
    struct Task {
        std::shared_ptr<OutputFile> file;
        uint64_t offset;
        uint64_t length;
    };

    void work(ArchiveReader& reader);
    void runTask(ArchiveReader& reader, const Task& task, std::vector<uint8_t>& buffer);
    void complete(OutputFile& file);
    void fail(OutputFile& file, std::string reason);
    void push(Task task, const std::function<void()>& idle);
    // Waits until `done` holds, calling `idle` now and then; rethrows a worker's failure.
    void waitUntil(std::unique_lock<std::mutex>& lock, const std::function<bool()>& done,
                   const std::function<void()>& idle);
    void wakeEveryone();

    SharedIndex index_;
    FileTime time_;
    const std::atomic<int>& stop_;
    uint64_t tempCounter_ = 0;

    mutable std::mutex lock_;
    std::condition_variable taskReady_;
    std::condition_variable spaceFree_;
    std::deque<Task> queue_;
    size_t queueLimit_;
    uint64_t pendingTasks_ = 0;  // queued or running
    bool closing_ = false;
    EngineCounts counts_;
    std::vector<std::string> messages_;
    ReaderWorkers workers_;  // last: started once everything above is ready, joined first
};

}  // namespace qev::unpack
