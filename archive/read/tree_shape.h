// Whether a tree is a tree. The format lets directories share children, hold one of their
// ancestors or the root: a program that shows the tree as a filesystem must show each
// directory in one place only. When no entry lies in the child ranges of two directories
// and the root lies in none, every entry has at most one parent, so nothing a walk from
// the root reaches can be reached twice or lead back up. Archives written breadth first
// pass that in one pass over the tree; others are sorted by range once.
#pragma once

#include <vector>

#include "archive/read/archive_index.h"

namespace qev {

struct TreeShape {
    bool readable = true;  // false when the tree could not be read
    // Directories whose children are left out so that the rest is a tree: each one whose
    // range holds the root or overlaps a range that starts before it, sorted. Empty for a
    // sound archive.
    std::vector<NodeId> overlapping;

    bool leavesOut(NodeId directory) const;
};

// Reads the tree once in pieces (tables on demand stay out of memory); the memory it takes
// beyond that grows with the directories only when their ranges are out of order.
TreeShape examineTreeShape(const ArchiveIndex& index);

}  // namespace qev
