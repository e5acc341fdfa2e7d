#include "archive/tree_walk.h"

#include <deque>
#include <unordered_set>
#include <vector>

namespace qev {

bool isUsableName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

struct SiblingNames::Set {
    std::unordered_set<std::string_view> names;
};

// A directory of one child needs no set.
SiblingNames::SiblingNames(uint32_t count) : set_(count > 1 ? new Set : nullptr) {
    if (set_ != nullptr) set_->names.reserve(count);
}

SiblingNames::~SiblingNames() { delete set_; }

bool SiblingNames::firstTime(std::string_view name) {
    return set_ == nullptr || set_->names.insert(name).second;
}

void walkTree(const ArchiveIndex& index, NodeId start, WalkVisitor& visitor) {
    if (!index.isDirectory(start)) return;
    // One bit per entry: a directory is marked when it is queued, so it is queued once.
    std::vector<bool> queued(index.treeSize(), false);
    std::deque<NodeId> pending{start};
    queued[start] = true;
    while (!pending.empty()) {
        NodeId directory = pending.front();
        pending.pop_front();
        visitor.enterDirectory(directory);
        classifyChildren(index, directory, [&](WalkChild child) {
            if (!child.isFile && child.status == ChildStatus::kUsable) {
                if (queued[child.node]) {
                    child.status = ChildStatus::kReachedAgain;
                } else {
                    queued[child.node] = true;
                    pending.push_back(child.node);
                }
            }
            visitor.child(child);
        });
        uint64_t declared = index.declaredChildCount(directory);
        if (declared > index.entryCount(directory)) {
            visitor.childrenPastEnd(directory, declared - index.entryCount(directory));
        }
    }
}

}  // namespace qev
