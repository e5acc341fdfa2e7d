#include "unpack/file_engine.h"

#include <algorithm>

#include "system/process.h"
#include "system/text.h"
#include "unpack/name_rules.h"

namespace qev::unpack {
namespace {

constexpr std::string_view kBadBlocks = "a block of it is missing or damaged, or the archive changed";

}  // namespace

struct FileEngine::OutputFile {
    SharedTarget target;
    std::string name;
    const Plan* plan = nullptr;  // where the file lies, for messages
    uint32_t dir = 0;
    std::string path() const { return pathOf(*plan, dir, name); }
    NodeId node = kInvalidNode;
    std::unique_ptr<NewFile> out;
    std::atomic<uint64_t> chunksLeft{0};
    std::mutex failLock;
    std::string failure;     // empty while every chunk went well
    bool damaged = false;    // a block of it was missing or damaged
    bool everyFile = false;  // the failure is one every later file would meet too
    bool cancelled = false;
};

size_t filesInFlight(unsigned jobs) {
    size_t least = size_t(jobs) + (size_t(jobs) + 1) / 2;
    size_t wanted = std::max<size_t>(least, std::min<size_t>(16 * size_t(jobs), 256));
    std::optional<uint64_t> limit = openFileLimit();
    // Each file in flight holds its temporary and, at worst, a directory of its own.
    uint64_t spare = limit && *limit > kDescriptorsBesides + uint64_t(jobs) * kDescriptorsPerJob
                         ? (*limit - kDescriptorsBesides - uint64_t(jobs) * kDescriptorsPerJob) / 2
                         : 0;
    return limit ? std::min<uint64_t>(wanted, least + spare) : wanted;
}

FileEngine::FileEngine(const SharedIndex& index, unsigned jobs, const EngineOptions& options,
                       const std::atomic<int>& stop)
    : index_(index),
      options_(options),
      stop_(stop),
      queue_(std::max<size_t>(2 * size_t(jobs), filesInFlight(jobs))),
      fileLimit_(filesInFlight(jobs)),
      workers_(
          index, jobs, [this](ArchiveReader& reader) { work(reader); }, [this] { queue_.wake(); },
          options.blockHashes) {}

FileEngine::~FileEngine() { queue_.close(); }

EngineCounts FileEngine::counts() const {
    std::lock_guard<std::mutex> lock(lock_);
    return counts_;
}

std::vector<std::string> FileEngine::takeMessages() {
    std::lock_guard<std::mutex> lock(lock_);
    return std::exchange(messages_, {});
}

bool FileEngine::abandon() { return !abandoned_.exchange(true); }

bool FileEngine::add(const SharedTarget& dir, std::string name, const Plan& plan, uint32_t planDir, NodeId node,
                     const std::function<void()>& idle) {
    if (stop_ || abandoned_) return false;
    auto file = std::make_shared<OutputFile>();
    file->target = dir;
    file->name = std::move(name);
    file->plan = &plan;
    file->dir = planDir;
    file->node = node;
    uint64_t size = index_->fileSize(node);
    if (!index_->fileBlocksLocatable(node)) {
        // Refused before anything is created: its size may be anything.
        std::lock_guard<std::mutex> lock(lock_);
        messages_.push_back("Error: Failed to extract " + file->path() + ": " + std::string(kBadBlocks));
        ++counts_.failures;
        ++counts_.damaged;
        return true;
    }
    // A file holds a descriptor and pins its directory's from here until it is done.
    queue_.waitUntil([&] { return filesOpen_ < fileLimit_; }, workers_, idle);
    ++filesOpen_;
    // A short name of our own in the file's own directory, so that the rename is atomic.
    auto out = NewFile::create(dir->handle, names_.name("", std::to_string(tempCounter_++)));
    if (!out) {
        --filesOpen_;
        bool everyFile = failsEveryFile(out.error());
        std::lock_guard<std::mutex> lock(lock_);
        ++counts_.failures;
        if (!everyFile || abandon()) {
            messages_.push_back("Error: Failed to extract " + file->path() + ": " + out.error().text());
        }
        return !everyFile;
    }
    file->out = std::move(*out);
    // An empty file is one chunk of nothing, so that one path finishes every file.
    uint64_t chunks = std::max<uint64_t>(1, (size + kChunkSize - 1) / kChunkSize);
    file->chunksLeft = chunks;
    for (uint64_t c = 0; c < chunks; ++c) {
        uint64_t offset = c * kChunkSize;
        queue_.push(Task{file, offset, std::min(kChunkSize, size - offset)}, workers_, idle);
    }
    return true;
}

void FileEngine::finish(const std::function<void()>& idle) { queue_.drain(workers_, idle); }

void FileEngine::work(ArchiveReader& reader) {
    std::vector<uint8_t> buffer(kChunkSize);
    // Queued files dropped after a failure take their temporaries with them.
    while (std::optional<Task> task = queue_.pop(workers_)) {
        runTask(reader, *task, buffer);
        queue_.done();
    }
}

void FileEngine::fail(OutputFile& file, std::string reason, bool everyFile, bool damaged) {
    std::lock_guard<std::mutex> lock(file.failLock);
    if (!file.failure.empty()) return;
    file.failure = std::move(reason);
    file.everyFile = everyFile;
    file.damaged = damaged;
}

void FileEngine::runTask(ArchiveReader& reader, const Task& task, std::vector<uint8_t>& buffer) {
    OutputFile& file = *task.file;
    bool failed;
    {
        std::lock_guard<std::mutex> lock(file.failLock);
        failed = !file.failure.empty();
    }
    if ((stop_ || abandoned_) && !failed) {
        std::lock_guard<std::mutex> lock(file.failLock);
        file.cancelled = true;
        file.failure = "interrupted";
        failed = true;
    }
    if (!failed && task.length > 0) {
        if (reader.readFile(file.node, task.offset, task.length, buffer.data()) != task.length) {
            fail(file, std::string(kBadBlocks), false, /*damaged=*/true);
        } else if (auto error = file.out->writeAt(buffer.data(), task.length, task.offset)) {
            fail(file, error->text(), failsEveryFile(*error));
        } else {
            std::lock_guard<std::mutex> lock(lock_);
            counts_.bytesDone += task.length;
        }
    }
    if (file.chunksLeft.fetch_sub(1) == 1) complete(file);
}

bool TargetDir::heldBefore(std::string_view name) const { return !foldsCase || before.contains(upcaseName(name)); }

FileEngine::Placed FileEngine::place(OutputFile& file, std::string& failure, bool& everyFile) {
    const TargetDir& dir = *file.target;
    NewFile::Commit how{options_.modified, options_.syncEachFile, /*replace=*/false};
    if (options_.force && entryIdentity(*dir.handle, file.name)) {
        if (!dir.heldBefore(file.name)) return Placed::kTwin;
        // What it replaces is gone once it is renamed: it must be on the drive first.
        how.replace = true;
        how.sync = true;
    }
    std::optional<SystemError> error = file.out->commit(file.name, how);
    if (!error) return Placed::kDone;
    // Taken meanwhile: where letter case is ignored, by a twin this run wrote.
    if (error->nameTaken && dir.foldsCase) return Placed::kTwin;
    failure = error->text();
    everyFile = failsEveryFile(*error);
    return Placed::kFailed;
}

void FileEngine::complete(OutputFile& file) {
    std::string failure;
    bool everyFile = false, damaged = false;
    {
        std::lock_guard<std::mutex> lock(file.failLock);
        failure = file.failure;
        everyFile = file.everyFile;
        damaged = file.damaged;
    }
    Placed placed = failure.empty() ? place(file, failure, everyFile) : Placed::kFailed;
    file.out.reset();  // removes the temporary unless it was renamed into place
    // The producer, waiting for room, is woken once half the files in flight are done:
    // waking it for each one would cost two switches a file.
    if (--filesOpen_ == fileLimit_ / 2) queue_.wakeProducer();
    std::lock_guard<std::mutex> lock(lock_);
    if (placed == Placed::kDone) {
        ++counts_.filesDone;
        return;
    }
    ++counts_.failures;
    if (damaged) ++counts_.damaged;
    if (placed == Placed::kTwin) {
        messages_.push_back("Warning: Skipped name differing from an earlier sibling's only in letter case: " +
                            file.path());
    } else if (!file.cancelled && (!everyFile || abandon())) {
        // Of failures every file would meet, the first alone is told: the run stops there.
        messages_.push_back("Error: Failed to extract " + file.path() + ": " + failure);
    }
}

}  // namespace qev::unpack
