// What to write for one archive path: the directories, parents first, and the totals.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/read/archive_index.h"
#include "archive/read/tree_walk.h"

namespace qev::unpack {

struct PlannedDir {
    NodeId node;
    uint32_t parent;        // index into Plan::dirs; kNoParent for the destination itself
    std::string_view name;  // the stored name; empty for the destination
    bool withFiles;         // false for the directories above a named path: only the way to it
    bool writable = true;   // false for a refused name: neither it nor anything below is written
};

// Directories in breadth-first order: each one's parent comes before it, and the children of
// one directory follow one another. Only directories are kept, so the plan's memory grows
// with the number of directories, not of files.
struct Plan {
    std::vector<PlannedDir> dirs;      // dirs[0] is the destination, standing for the root
    NodeId singleFile = kInvalidNode;  // a named file, written into the last directory
    uint64_t files = 0;
    uint64_t bytes = 0;
    bool skippedSomething = false;  // an unsafe name or a broken range was left out
};

// A warning about something left out: its line is `text` and the archive path of planned
// directory `dir` (and of `name` inside it, when given). Made into a line only when shown,
// since a path costs as much as the tree is deep.
using WarningSink =
    std::function<void(std::string_view text, const Plan& plan, uint32_t dir, std::optional<std::string_view> name)>;

// Plans the whole tree under `chain`'s last entry, a directory, or that one file; `chain` is
// what ArchiveIndex::findPath passed through (empty for the whole archive). Passes each
// thing left out to `warn`.
// `foldsCase` tells whether the destination ignores letter case (see NameRules).
Plan planTarget(const ArchiveIndex& index, const std::vector<NodeId>& chain, bool foldsCase, const WarningSink& warn);

// The archive path of a planned directory, or of a name inside it, escaped for messages.
std::string pathOf(const Plan& plan, uint32_t dir);
std::string pathOf(const Plan& plan, uint32_t dir, std::string_view name);

}  // namespace qev::unpack
