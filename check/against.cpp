#include "check/against.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "archive/format/escape.h"
#include "archive/read/archive_reader.h"
#include "archive/read/reader_workers.h"
#include "archive/read/tree_walk.h"
#include "shell/task_queue.h"
#include "system/directory.h"
#include "system/directory_chain.h"
#include "system/text.h"

namespace qev::check {
namespace {

// Large files are compared in pieces, on every core.
constexpr size_t kPiece = size_t(4) << 20;

struct WalkedDir {
    uint32_t parent;
    std::string_view name;
};

// A line of the result, with its place in the walk so that the lines come out in order
// whichever worker found them.
struct Line {
    uint64_t order;
    bool error;
    std::string text;
};

class Comparer {
public:
    Comparer(const SharedIndex& index, std::shared_ptr<const std::vector<uint32_t>> hashes, const std::string& folder,
             unsigned jobs)
        : index_(index),
          folder_(folder),
          queue_(2 * size_t(jobs)),
          workers_(
              index, jobs, [this](ArchiveReader& reader) { work(reader); }, [this] { queue_.wake(); },
              std::move(hashes)) {
        if (auto opened = index->file().openedStatus()) archive_ = opened->identity;
    }

    ~Comparer() { queue_.close(); }

    Comparison run(const std::function<void(uint64_t)>& idle);

private:
    struct Task {
        SharedDir dir;
        NodeId node;
        uint32_t parent;
        std::string_view name;
        uint64_t order;
        uint64_t offset;  // the piece of the file this task compares
        uint64_t length;
    };
    // A folder being walked; the chain holds it open, or climbs back to it.
    struct Frame {
        NodeId node;
        uint32_t dir;  // index into dirs_
        std::vector<std::pair<NodeId, std::string_view>> below;
        size_t next = 0;
    };

    std::string pathOf(uint32_t dir, std::string_view name) const { return walkedPath(dirs_, dir, name, escapeName); }
    std::string diskPath(uint32_t dir, std::string_view name) const {
        return folder_ + "/" + walkedPath(dirs_, dir, name, [](std::string_view n) { return std::string(n); });
    }
    void add(bool error, std::string text) {
        std::lock_guard<std::mutex> lock(lock_);
        lines_.push_back({order_++, error, std::move(text)});
    }
    bool enter(Frame& frame, const SharedDir& folder, Comparison& result, const std::function<void(uint64_t)>& idle);
    void work(ArchiveReader& reader);
    void compareFile(ArchiveReader& reader, const Task& task, std::vector<uint8_t>& ours, std::vector<uint8_t>& theirs);

    SharedIndex index_;
    std::string folder_;
    std::optional<FileIdentity> archive_;  // the archive itself, should it lie in the folder
    std::vector<WalkedDir> dirs_;
    std::mutex lock_;  // order_ and lines_
    TaskQueue<Task> queue_;
    std::atomic<uint64_t> filesDone_{0};
    uint64_t order_ = 0;
    std::vector<Line> lines_;
    ReaderWorkers workers_;  // last: started once everything above is ready
};

Comparison Comparer::run(const std::function<void(uint64_t)>& idle) {
    Comparison result;
    auto root = openDirectoryPath(folder_);
    if (!root) {
        result.errors.push_back("Cannot read " + folder_ + ": " + root.error().text());
        return result;
    }
    dirs_.push_back({kNoParent, {}});
    DirectoryChain chain(*root);
    std::vector<Frame> frames;
    frames.push_back({0, 0, {}, 0});
    if (!enter(frames.back(), chain.current(), result, idle)) frames.clear();
    while (!frames.empty()) {
        Frame& top = frames.back();
        if (top.next == top.below.size()) {
            frames.pop_back();
            if (!frames.empty() && !chain.ascend()) {
                add(true, "The folder changed while it was compared: " + folder_);
                break;
            }
            continue;
        }
        auto [node, name] = top.below[top.next++];
        auto opened = openDirectory(*chain.current(), name);
        if (!opened) {
            add(true, "Cannot read " + diskPath(top.dir, name) + ": " + opened.error().text());
            continue;
        }
        dirs_.push_back({top.dir, name});
        chain.descend(*opened);
        frames.push_back({node, uint32_t(dirs_.size() - 1), {}, 0});
        if (!enter(frames.back(), chain.current(), result, idle)) frames.back().below.clear();
    }
    queue_.drain(workers_, [&] { idle(filesDone_); });
    std::sort(lines_.begin(), lines_.end(),
              [](const Line& a, const Line& b) { return a.order != b.order ? a.order < b.order : a.text < b.text; });
    // The pieces of one file may each have found it different: one line for it.
    lines_.erase(std::unique(lines_.begin(), lines_.end(),
                             [](const Line& a, const Line& b) { return a.order == b.order && a.text == b.text; }),
                 lines_.end());
    for (Line& line : lines_) (line.error ? result.errors : result.differences).push_back(std::move(line.text));
    return result;
}

// Compares one folder's entries with the archive directory's: files go to the workers,
// folders on both sides are walked later.
bool Comparer::enter(Frame& frame, const SharedDir& folder, Comparison& result,
                     const std::function<void(uint64_t)>& idle) {
    ++result.directories;
    auto listed = listDirectory(*folder);
    if (!listed) {
        add(true, "Cannot read " + diskPath(frame.dir, listed.error().name) + ": " + listed.error().reason);
        return false;
    }
    std::unordered_map<std::string_view, const ListedEntry*> onDisk;
    for (const ListedEntry& e : *listed) {
        bool packed = e.kind == FileKind::kFile || e.kind == FileKind::kDirectory;
        bool isArchive = e.kind == FileKind::kFile && archive_ &&
                         (e.identity ? *e.identity == *archive_ : entryIdentity(*folder, e.name) == *archive_);
        if (packed && !isArchive) onDisk.emplace(e.name, &e);
    }
    std::vector<std::string_view> inArchive;
    classifyChildren(*index_, frame.node, [&](const WalkChild& c) {
        if (c.status != ChildStatus::kUsable) return;  // the check reports those
        inArchive.push_back(c.name);
        auto found = onDisk.find(c.name);
        if (found == onDisk.end()) {
            add(false, "Only in the archive: " + pathOf(frame.dir, c.name));
        } else if ((found->second->kind == FileKind::kFile) != c.isFile) {
            add(false, "Differs: " + pathOf(frame.dir, c.name));  // a file on one side, a folder on the other
        } else if (!c.isFile) {
            frame.below.emplace_back(c.node, c.name);
        } else if (found->second->size != index_->fileSize(c.node)) {
            add(false, "Differs: " + pathOf(frame.dir, c.name));
        } else {
            ++result.files;
            uint64_t order;
            {
                std::lock_guard<std::mutex> lock(lock_);
                order = order_++;
            }
            uint64_t size = index_->fileSize(c.node);
            for (uint64_t at = 0; at == 0 || at < size; at += kPiece) {
                queue_.push({folder, c.node, frame.dir, c.name, order, at, std::min<uint64_t>(kPiece, size - at)},
                            workers_, [&] { idle(filesDone_); });
            }
        }
    });
    std::sort(inArchive.begin(), inArchive.end());
    std::vector<std::string_view> extra;
    for (const auto& [name, entry] : onDisk) {
        if (!std::binary_search(inArchive.begin(), inArchive.end(), name)) extra.push_back(name);
    }
    std::sort(extra.begin(), extra.end());
    for (std::string_view name : extra) {
        std::string shown = walkedPath(dirs_, frame.dir, name, escapeName);
        add(false, "Only in " + folder_ + ": " + shown);
    }
    return true;
}

void Comparer::work(ArchiveReader& reader) {
    std::vector<uint8_t> ours(kPiece), theirs(kPiece);
    while (std::optional<Task> task = queue_.pop(workers_)) {
        compareFile(reader, *task, ours, theirs);
        if (task->offset + task->length >= index_->fileSize(task->node)) ++filesDone_;
        queue_.done();
    }
}

void Comparer::compareFile(ArchiveReader& reader, const Task& task, std::vector<uint8_t>& ours,
                           std::vector<uint8_t>& theirs) {
    auto result = [&](bool error, std::string text) {
        std::lock_guard<std::mutex> lock(lock_);
        lines_.push_back({task.order, error, std::move(text)});
    };
    std::unique_ptr<InputFile> file = openFileIn(*task.dir, task.name);
    if (!file) return result(true, "Cannot read " + diskPath(task.parent, task.name) + ": " + lastSystemError());
    std::optional<FileStatus> status = file->status();
    if (!status || status->size != index_->fileSize(task.node))
        return result(false, "Differs: " + pathOf(task.parent, task.name));
    if (task.length == 0) return;
    uint32_t n = uint32_t(task.length);
    if (reader.readFile(task.node, task.offset, n, ours.data()) != n) {
        return result(true, "Cannot read " + pathOf(task.parent, task.name) +
                                " from the archive: a block of it is damaged or does not match the integrity record");
    }
    if (!file->readAt(task.offset, theirs.data(), n)) {
        return result(true, "Cannot read " + diskPath(task.parent, task.name) + ": " + lastSystemError());
    }
    if (std::memcmp(ours.data(), theirs.data(), n) != 0) result(false, "Differs: " + pathOf(task.parent, task.name));
}

}  // namespace

Comparison compareWithFolder(const SharedIndex& index, std::shared_ptr<const std::vector<uint32_t>> blockHashes,
                             const std::string& folder, unsigned jobs, const std::function<void(uint64_t done)>& idle) {
    Comparer comparer(index, std::move(blockHashes), folder, jobs);
    return comparer.run(idle);
}

}  // namespace qev::check
