// The structure check: one walk of the whole tree from the root that finds what is wrong
// with it, counts what it holds and marks the blocks its files need.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "archive/read/archive_index.h"
#include "archive/read/tree_walk.h"
#include "archive/verify/findings.h"

namespace qev {

struct Totals {
    uint64_t titles = 0;
    uint64_t directories = 0;  // below the root
    uint64_t files = 0;
    uint64_t fileBytes = 0;
    NodeId largestFile = kInvalidNode;
    std::string largestPath;  // escaped for listings
    uint64_t largestSize = 0;
};

struct WalkedDir {
    NodeId node;
    uint32_t parent;
    std::string_view name;
    bool childrenWalked = true;  // false when the walk left them out
};

struct Survey {
    Totals totals;
    std::vector<WalkedDir> dirs;     // in the walk's order; dirs[0] is the root
    std::vector<bool> neededBlocks;  // one flag per block of the offset table
    std::vector<bool> reached;       // one flag per entry: reached from the root
};

// One reachable entry, as --list shows it.
struct WalkedEntry {
    bool isFile;
    uint64_t size;
    std::string path;  // escaped with escapePath
};
using WalkSink = std::function<void(const WalkedEntry&)>;

// Walks the tree, adds structure findings, and passes each reachable entry to `list`
// (which may be empty).
Survey surveyTree(const ArchiveIndex& index, Findings& findings, const WalkSink& list);

// Warnings about the data section that the walk's marks make possible: blocks no file uses
// and bytes no block covers. Also the entries no walk from the root reaches.
void findUnused(const ArchiveIndex& index, const Survey& survey, Findings& findings);

// The reachable files that need block `block`: the first `limit`, and how many there are
// in all.
struct NeedingFile {
    NodeId node;
    std::string path;  // escaped with escapeName
};
std::vector<NeedingFile> filesNeeding(const ArchiveIndex& index, const Survey& survey, uint64_t block, size_t limit,
                                      uint64_t& total);

}  // namespace qev
