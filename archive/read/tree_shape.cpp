#include "archive/read/tree_shape.h"

#include <algorithm>
#include <cstdint>

namespace qev {
namespace {

struct Range {
    uint64_t first;
    uint64_t end;  // past the last child inside the tree
    NodeId directory;
};

constexpr uint32_t kPiece = 4096;  // entries read at once: 64 KiB

// Calls `range` for each directory with children inside the tree, in tree order; false
// when the tree cannot be read.
template <typename Callback>
bool forEachRange(const ArchiveIndex& index, Callback&& range) {
    std::vector<TreeEntry> piece(kPiece);
    for (NodeId first = 0; first < index.treeSize(); first += kPiece) {
        uint32_t count = std::min<uint32_t>(kPiece, index.treeSize() - first);
        if (!index.copyTreeEntries(first, count, piece.data())) return false;
        for (uint32_t i = 0; i < count; ++i) {
            const TreeEntry& e = piece[i];
            uint64_t start = e.firstChild();
            if (e.isFile() || e.childCount() == 0 || start >= index.treeSize()) continue;
            range(Range{start, std::min<uint64_t>(start + e.childCount(), index.treeSize()), first + i});
        }
    }
    return true;
}

}  // namespace

bool TreeShape::leavesOut(NodeId directory) const {
    return std::binary_search(overlapping.begin(), overlapping.end(), directory);
}

TreeShape examineTreeShape(const ArchiveIndex& index) {
    TreeShape shape;
    bool ordered = true;
    uint64_t reached = 1;  // the root is nobody's child
    shape.readable = forEachRange(index, [&](const Range& r) {
        ordered = ordered && r.first >= reached;
        reached = std::max(reached, r.end);
    });
    if (!shape.readable || ordered) return shape;

    std::vector<Range> ranges;
    shape.readable = forEachRange(index, [&](const Range& r) { ranges.push_back(r); });
    if (!shape.readable) return shape;
    std::sort(ranges.begin(), ranges.end(), [](const Range& a, const Range& b) {
        return a.first != b.first ? a.first < b.first : a.directory < b.directory;
    });
    reached = 1;
    for (const Range& r : ranges) {
        if (r.first < reached) {
            shape.overlapping.push_back(r.directory);
        } else {
            reached = r.end;
        }
    }
    std::sort(shape.overlapping.begin(), shape.overlapping.end());
    return shape;
}

}  // namespace qev
