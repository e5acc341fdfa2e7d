// Walking a whole tree safely. The format allows a directory whose children include one of
// its ancestors, and two directories that share children: a walk that trusted the tree
// could loop forever or visit a subtree many times. This walk goes breadth first, enters
// each directory at most once and says when it reaches one again.
#pragma once

#include <cstdint>
#include <string_view>

#include "archive/archive_index.h"

namespace qev {

enum class ChildStatus : uint8_t {
    kUsable,         // a name that can be a file name, the first of its kind in its directory
    kUnusableName,   // empty or undecodable, ".", "..", or holding '/' or a zero byte
    kDuplicateName,  // exactly the name of an earlier sibling: nothing can reach it by name
    kReachedAgain,   // a usable directory that the walk has entered or queued already
};

struct WalkChild {
    NodeId parent;
    NodeId node;
    uint32_t position;
    std::string_view name;  // a view into the name table
    bool isFile;
    ChildStatus status;
};

// Whether a stored name can be used as a file name.
bool isUsableName(std::string_view name);

class WalkVisitor {
public:
    virtual ~WalkVisitor() = default;
    // A directory being entered, before its children.
    virtual void enterDirectory(NodeId /*directory*/) {}
    // Each child of an entered directory, in stored order.
    virtual void child(const WalkChild& child) = 0;
    // A directory declares `missing` children that lie past the end of the tree.
    virtual void childrenPastEnd(NodeId /*directory*/, uint64_t /*missing*/) {}
};

// The children of one directory in stored order, each with its status as far as the
// directory alone tells it (kUsable, kUnusableName or kDuplicateName).
template <typename Callback>
void classifyChildren(const ArchiveIndex& index, NodeId directory, Callback&& callback);

// Walks the tree below `start` (a directory) breadth first. Only usable directories are
// entered, each at most once; `start` itself counts as entered.
void walkTree(const ArchiveIndex& index, NodeId start, WalkVisitor& visitor);

// Detail of classifyChildren: tells exact repeats among one directory's names.
class SiblingNames {
public:
    explicit SiblingNames(uint32_t count);
    ~SiblingNames();
    SiblingNames(const SiblingNames&) = delete;
    SiblingNames& operator=(const SiblingNames&) = delete;
    // False when `name` was seen before among these siblings.
    bool firstTime(std::string_view name);

private:
    struct Set;
    Set* set_;
};

template <typename Callback>
void classifyChildren(const ArchiveIndex& index, NodeId directory, Callback&& callback) {
    uint32_t count = index.entryCount(directory);
    SiblingNames names(count);
    for (uint32_t i = 0; i < count; ++i) {
        NodeId node = index.childAt(directory, i);
        std::string_view name = index.entryName(node);
        ChildStatus status = !isUsableName(name)      ? ChildStatus::kUnusableName
                             : !names.firstTime(name) ? ChildStatus::kDuplicateName
                                                      : ChildStatus::kUsable;
        callback(WalkChild{directory, node, i, name, index.isFile(node), status});
    }
}

}  // namespace qev
