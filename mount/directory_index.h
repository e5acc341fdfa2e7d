// A directory as the mount shows it: which children are visible, and how a name finds one
// without reading every sibling's name. Built when the directory is first used; the mount
// keeps the recently used ones (DirectoryCache), so its memory does not grow with the tree.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "archive/read/archive_index.h"

namespace qev::mount {

struct DirectoryIndex {
    NodeId first = 0;             // the first child's NodeId; positions count from it
    std::vector<uint32_t> shown;  // positions shown, in stored order
    // (hash of the name << 32 | position), sorted: a lookup hashes the name and reads only
    // the names of the few children that share its hash.
    std::vector<uint64_t> exact;
    // The same with ASCII letters folded, the first of each folded name only: only to ignore
    // case, when the later twins are listed but found by no lookup.
    std::vector<uint64_t> folded;

    size_t bytes() const { return sizeof *this + 4 * shown.size() + 8 * (exact.size() + folded.size()); }
};

// The children shown: usable names, each the first of its spelling, of a directory whose
// children the tree does not leave out (the caller's to check). Nothing when the tables
// cannot be read.
std::optional<DirectoryIndex> buildDirectoryIndex(const ArchiveIndex& index, NodeId directory, bool folded);

enum class Found : uint8_t { kYes, kNo, kUnreadable };
// The child named `name`: the one of exactly that spelling, or, where there is none and with
// `ignoreCase`, the first in stored order equal to it ignoring ASCII letter case.
Found findChild(const ArchiveIndex& index, const DirectoryIndex& dir, std::string_view name, bool ignoreCase,
                NodeId& child);

// The recently used indexes of every archive of a mount, within a budget of bytes (one
// index always fits, however large).
class DirectoryCache {
public:
    explicit DirectoryCache(size_t budget) : budget_(budget) {}
    std::shared_ptr<const DirectoryIndex> find(uint64_t key);
    void keep(uint64_t key, std::shared_ptr<const DirectoryIndex> index);

private:
    using Entry = std::pair<uint64_t, std::shared_ptr<const DirectoryIndex>>;
    size_t budget_;
    size_t used_ = 0;
    std::mutex lock_;
    std::list<Entry> order_;  // most recently used first
    std::unordered_map<uint64_t, std::list<Entry>::iterator> where_;
};

}  // namespace qev::mount
