// The tree of an updated archive: the archive's entries less those removed, with added
// folders merged in at the root. Each file says where its bytes come from: the archive
// (where it starts in the old data stream) or an added folder (its node there).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "archive/read/archive_index.h"
#include "archive/write/archive_writer.h"
#include "pack/source_tree.h"

namespace qev::pack {

class MergedTree : public writer::TreeSource {
public:
    // The archive's tree, each directory entered once. Throws PackError for a tree an
    // update cannot keep (a directory reached twice, an unusable name).
    explicit MergedTree(const ArchiveIndex& index);

    // Removes the entry `path` names, component by component its exact spelling where
    // one exists, else the first equal to it ignoring letter case; with everything below it. False when it names
    // nothing (or the root).
    bool remove(std::string_view path);

    // Merges the folder `added` (number `source`) into the root, by packing's rules: each
    // name meets the entry of its exact spelling, else the first equal to it ignoring letter
    // case that no other name of its folder met; a folder met by a folder is merged; where either is a file, the path
    // is added to `conflicts`, and with `replace` the new entry takes the old one's place whole.
    void add(const SourceTree& added, uint32_t source, bool replace, std::vector<std::string>& conflicts);

    // Children in byte order of their names, as packing orders them; call before laying out.
    void sortChildren();

    size_t nodeCount() const override { return nodes_.size(); }
    std::string_view name(size_t node) const override { return nodes_[node].name; }
    bool isFile(size_t node) const override { return nodes_[node].isFile; }
    uint64_t size(size_t node) const override { return nodes_[node].size; }
    size_t childCount(size_t node) const override { return nodes_[node].children.size(); }
    size_t child(size_t node, size_t k) const override { return nodes_[node].children[k]; }

    static constexpr uint32_t kFromArchive = 0xFFFFFFFF;
    // The added folder a file comes from, or kFromArchive.
    uint32_t source(size_t node) const { return nodes_[node].source; }
    // For a file from the archive, its entry there; else its node in its folder.
    uint64_t origin(size_t node) const { return nodes_[node].origin; }
    // The names from the root down to `node`, joined by '/'.
    std::string pathOf(size_t node) const;

private:
    struct Node {
        std::string name;
        bool isFile = false;
        uint64_t size = 0;
        uint32_t source = kFromArchive;
        uint64_t origin = 0;
        uint32_t parent = 0;
        std::vector<uint32_t> children;
    };

    // The child of `dir` that `name` matches, among nodes below `below`; nodes_.size() if none.
    size_t findChild(size_t dir, std::string_view name, size_t below) const;
    // For each child of the added folder `from`, the entry of `into` it meets, or kNoMatch.
    static constexpr size_t kNoMatch = SIZE_MAX;
    std::vector<size_t> matchChildren(const SourceTree& added, size_t from, size_t into, size_t below) const;
    // Copies the subtree at `from` of `added` under `parent`; gives its top.
    uint32_t graft(const SourceTree& added, uint32_t source, size_t from, size_t parent);

    std::vector<Node> nodes_;
};

}  // namespace qev::pack
