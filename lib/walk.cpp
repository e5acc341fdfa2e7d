// qev_walk: every reachable entry below a directory, breadth first, with its path.
#define QEV_BUILDING
#include "lib/boundary.h"

#include "archive/read/tree_walk.h"

namespace qev::lib {
namespace {

// Thrown out of the walk when the callback asks to stop; caught in qev_walk.
struct Stopped {};

class Walker : public WalkVisitor {
public:
    Walker(const ArchiveIndex& index, NodeId start, qev_walk_callback callback, void* userData)
        : index_(index), callback_(callback), userData_(userData) {
        dirs_.push_back({start, kNoParent, {}, 0});
    }

    void enterDirectory(NodeId) override { current_ = entering_++; }

    void child(const WalkChild& c) override {
        if (c.status != ChildStatus::kUsable) return;
        // A copy: the push below may move the list.
        uint32_t depth = dirs_[current_].depth + 1;
        if (!c.isFile) dirs_.push_back({c.node, current_, c.name, depth});
        const std::string& dir = pathOfCurrent();
        path_.assign(dir);
        if (!path_.empty()) path_ += '/';
        path_ += c.name;
        qev_walk_entry e{};
        e.struct_size = sizeof e;
        e.entry = c.node;
        e.parent = c.parent;
        e.name = c.name.data();
        e.name_length = c.name.size();
        e.path = path_.data();
        e.path_length = path_.size();
        e.depth = depth;
        e.kind = c.isFile ? QEV_KIND_FILE : QEV_KIND_DIRECTORY;
        e.size = index_.fileSize(c.node);
        if (callback_(userData_, &e) != 0) throw Stopped{};
    }

private:
    struct Dir {
        NodeId node;
        uint32_t parent;
        std::string_view name;
        uint32_t depth;
    };

    // The current directory's path, kept from one directory to the next: the walk often
    // enters a child of the directory it left, whose path is then one name longer.
    const std::string& pathOfCurrent() {
        if (pathDir_ == current_) return dirPath_;
        const Dir& here = dirs_[current_];
        if (pathDir_ != kNoParent && here.parent == pathDir_) {
            if (!dirPath_.empty()) dirPath_ += '/';
            dirPath_ += here.name;
        } else {
            dirPath_ = walkedPath(dirs_, current_, [](std::string_view n) { return n; });
        }
        pathDir_ = current_;
        return dirPath_;
    }

    const ArchiveIndex& index_;
    qev_walk_callback callback_;
    void* userData_;
    std::vector<Dir> dirs_;
    uint32_t entering_ = 0;
    uint32_t current_ = 0;
    uint32_t pathDir_ = kNoParent;
    std::string dirPath_;
    std::string path_;
};

}  // namespace
}  // namespace qev::lib

using namespace qev::lib;

extern "C" qev_status qev_walk(const qev_archive* archive, qev_entry start, qev_walk_callback callback, void* user_data,
                               qev_error** error) {
    return guarded(error, [&] {
        if (archive == nullptr || callback == nullptr || !validEntry(archive, start)) {
            return fail(error, QEV_ERROR_INVALID_ARGUMENT, "No archive, start or callback");
        }
        if (!archive->index->isDirectory(start)) return fail(error, QEV_ERROR_NOT_A_DIRECTORY, "Not a directory");
        Walker walker(*archive->index, start, callback, user_data);
        try {
            qev::walkTree(*archive->index, start, walker);
        } catch (const Stopped&) {
            return fail(error, QEV_ERROR_STOPPED, "Stopped by the caller");
        }
        return QEV_OK;
    });
}
