// Writing files on every core. Each file is cut into chunks of at most 1 MiB; workers, each
// with its own reader of the one opened archive, decompress chunks and write them at their
// offsets into a temporary file in the file's own directory. The worker that finishes a
// file's last chunk renames it into place, or removes it when any chunk failed: a file is
// there whole, or not at all.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "archive/read/archive_reader.h"
#include "archive/read/reader_workers.h"
#include "shell/task_queue.h"
#include "system/new_file.h"
#include "system/temporaries.h"
#include "unpack/name_rules.h"
#include "unpack/unpack_plan.h"

namespace qev::unpack {

inline constexpr uint64_t kChunkSize = uint64_t(1) << 20;

// Descriptors the engine may hold for each job (files being written and their
// directories), and those the rest of the program may hold besides.
inline constexpr unsigned kDescriptorsPerJob = 3;
inline constexpr unsigned kDescriptorsBesides = 24;

// How many files may have a temporary open at once: enough that the producer seldom waits,
// as many as the limit of open files leaves room for.
size_t filesInFlight(unsigned jobs);

// A directory files are written into, and what the engine must know of it.
struct TargetDir {
    SharedDir handle;
    bool foldsCase = false;  // names in it ignore letter case
    // Where names ignore letter case, a name taken may be a file this run wrote under
    // another spelling, which is never replaced: only a name it held before the run is
    // (with force). Those names, in upper case; none in a directory the run made.
    std::unordered_set<std::string> before;

    // Whether an entry found under `name` may be replaced (with force).
    bool heldBefore(std::string_view name) const;
};
using SharedTarget = std::shared_ptr<TargetDir>;

struct EngineOptions {
    FileTime modified = 0;      // the time every file gets
    bool force = false;         // an existing file (not one this run wrote) is replaced
    bool syncEachFile = false;  // each file made durable before it is renamed into place
    // The integrity record's block hashes: a block that does not match is a damaged one.
    std::shared_ptr<const std::vector<uint32_t>> blockHashes;
};

struct EngineCounts {
    uint64_t filesDone = 0;
    uint64_t bytesDone = 0;
    uint64_t failures = 0;
    uint64_t damaged = 0;  // of the failures, files whose blocks were missing or damaged
};

class FileEngine {
public:
    // `stop` is raised by a signal: work still queued is dropped and its temporaries removed.
    FileEngine(const SharedIndex& index, unsigned jobs, const EngineOptions& options, const std::atomic<int>& stop);
    ~FileEngine();
    FileEngine(const FileEngine&) = delete;
    FileEngine& operator=(const FileEngine&) = delete;

    // Queues file `node`, to be written as `name` in `dir`, which is `plan`'s `planDir`: the
    // plan names it in messages, and must outlive finish().
    // Waits while the queue is full, calling `idle` now and then. False once stopped.
    // Both rethrow a worker's failure (see ReaderWorkers).
    bool add(const SharedTarget& dir, std::string name, const Plan& plan, uint32_t planDir, NodeId node,
             const std::function<void()>& idle);
    // Waits until every queued file is written or removed.
    void finish(const std::function<void()>& idle);

    EngineCounts counts() const;
    // After a failure that every later file would meet too (no space, read-only, quota,
    // permission), nothing more is queued or written. abandon() stops the run so, and tells
    // whether it was the first to: only that one's line is printed.
    bool abandon();
    bool abandoned() const { return abandoned_; }
    // Error and warning lines (whole, with their "Error: " or "Warning: ") the workers
    // produced since the last call, for the main thread to print.
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
    enum class Placed { kDone, kTwin, kFailed };
    // Puts a finished file in place: never over a file this run wrote, and over another
    // only with force, once synced.
    Placed place(OutputFile& file, std::string& failure, bool& everyFile);
    void complete(OutputFile& file);
    void fail(OutputFile& file, std::string reason, bool everyFile = false, bool damaged = false);

    SharedIndex index_;
    EngineOptions options_;
    const std::atomic<int>& stop_;
    std::atomic<bool> abandoned_{false};
    uint64_t tempCounter_ = 0;
    TemporaryNames names_{kProgramName};

    mutable std::mutex lock_;  // counts_ and messages_
    TaskQueue<Task> queue_;
    size_t fileLimit_;  // files with an open temporary at once: what bounds the descriptors
    std::atomic<size_t> filesOpen_{0};
    EngineCounts counts_;
    std::vector<std::string> messages_;
    ReaderWorkers workers_;  // last: started once everything above is ready, joined first
};

}  // namespace qev::unpack
