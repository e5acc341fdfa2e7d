// Walking a whole tree safely. The format allows a directory whose children include one of
// its ancestors, and two directories that share children: a walk that trusted the tree
// could loop forever or visit a subtree many times. This walk goes breadth first, enters
// each directory at most once and says when it reaches one again.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "archive/read/archive_index.h"

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
    // A view into the name table, lasting as long as the index; of an index read on
    // demand, valid only during the callback.
    std::string_view name;
    bool isFile;
    ChildStatus status;
    // A usable name that differs from an earlier usable sibling's in ASCII letter case only:
    // a lookup that ignores case finds the earlier one.
    bool caseTwin = false;
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
    // The walk has looked at so many children that this directory's are left out: see
    // walkTree.
    virtual void childrenLeftOut(NodeId /*directory*/) {}
};

// The children of one directory in stored order, each with its status as far as the
// directory alone tells it (kUsable, kUnusableName or kDuplicateName). A caller that
// classifies many directories passes one SiblingTable for all of them.
class SiblingTable;
template <typename Callback>
void classifyChildren(const ArchiveIndex& index, NodeId directory, Callback&& callback, SiblingTable* table = nullptr);

// The path of directory `dir` in a list of walked directories (each with `parent`, an
// index into the list or kNoParent, and `name`), and of `name` inside it: the names below
// the list's first directory, each passed through `show`, joined by '/'.
inline constexpr uint32_t kNoParent = 0xFFFFFFFF;
template <typename Dir, typename Show>
std::string walkedPath(const std::vector<Dir>& dirs, uint32_t dir, Show&& show) {
    // Climbed, not recursed: a chain of directories may be deeper than the call stack.
    std::vector<uint32_t> chain;
    for (uint32_t d = dir; d != 0 && d != kNoParent; d = dirs[d].parent) chain.push_back(d);
    std::string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (!path.empty()) path += '/';
        path += show(dirs[*it].name);
    }
    return path;
}
template <typename Dir, typename Show>
std::string walkedPath(const std::vector<Dir>& dirs, uint32_t dir, std::string_view name, Show&& show) {
    std::string path = walkedPath(dirs, dir, show);
    if (!path.empty()) path += '/';
    return path + show(name);
}

// Walks the tree below `start` (a directory) breadth first. Only usable directories are
// entered, each at most once; `start` itself counts as entered. In a sound tree every
// entry is the child of one directory; a hostile one can make a million directories share
// a million children. So the walk looks at no more than 8 children per entry of the tree
// (and at least 2^20): a directory whose children would pass that is entered without them.
inline uint64_t walkBudget(uint32_t treeSize) { return 8 * uint64_t(treeSize) + (uint64_t(1) << 20); }
void walkTree(const ArchiveIndex& index, NodeId start, WalkVisitor& visitor);

// Detail of classifyChildren: tells exact and letter-case repeats among one directory's
// names. A SiblingTable, kept by a walk or by a loop over many directories, serves every
// directory in turn: a slot counts only when it carries the current directory's
// generation, so nothing is cleared or allocated per directory or per name. The table is
// its caller's, so no state outlives the call (a library keeps none between calls).
struct SiblingSlot {
    std::string_view name;
    uint32_t foldedHash;
    uint32_t generation;
};

class SiblingTable {
public:
    SiblingTable() = default;
    SiblingTable(const SiblingTable&) = delete;
    SiblingTable& operator=(const SiblingTable&) = delete;

private:
    friend class SiblingNames;
    std::vector<SiblingSlot> slots_;
    uint32_t generation_ = 0;
    bool inUse_ = false;
};

class SiblingNames {
public:
    // With `table` (unless another SiblingNames holds it), its slots; else slots of its own.
    explicit SiblingNames(uint32_t count, SiblingTable* table = nullptr);
    ~SiblingNames();
    SiblingNames(const SiblingNames&) = delete;
    SiblingNames& operator=(const SiblingNames&) = delete;
    enum class Seen : uint8_t { kNew, kExactly, kCaseOnly };
    // Records `name` and tells how an earlier sibling's name matched it.
    Seen add(std::string_view name);

private:
    SiblingSlot* slots_ = nullptr;
    size_t mask_ = 0;
    uint32_t generation_ = 0;
    SiblingTable* table_ = nullptr;  // the table borrowed, if any
    std::vector<SiblingSlot> own_;
};

template <typename Callback>
void classifyChildren(const ArchiveIndex& index, NodeId directory, Callback&& callback, SiblingTable* table) {
    uint32_t count = index.entryCount(directory);
    SiblingNames names(count, table);
    // entryCount keeps every child inside the tree, so they are first, first + 1, ...
    NodeId first = count > 0 ? index.childAt(directory, 0) : kInvalidNode;
    // The siblings' names are compared with each other: read on demand, each is kept.
    const HeldTables* held = index.heldTables();
    std::vector<std::string> kept(held ? 0 : count);
    for (uint32_t i = 0; i < count; ++i) {
        NodeId node = first + i;
        std::string_view name = held ? held->name(node) : index.nameOf(node, kept[i]).value_or(std::string_view());
        WalkChild child{directory, node, i, name, index.isFile(node), ChildStatus::kUsable};
        if (!isUsableName(name)) {
            child.status = ChildStatus::kUnusableName;
        } else {
            SiblingNames::Seen seen = names.add(name);
            if (seen == SiblingNames::Seen::kExactly) child.status = ChildStatus::kDuplicateName;
            child.caseTwin = seen == SiblingNames::Seen::kCaseOnly;
        }
        callback(child);
    }
}

}  // namespace qev
