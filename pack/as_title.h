// A source folder that is itself a title folder (0005000010101D00_v64, holding meta/,
// code/, content/), packed as an archive holding that one folder: what the folder's name
// says it is, where packing its contents alone would give an archive with no title.
#pragma once

#include <optional>
#include <string>

#include "archive/write/archive_writer.h"
#include "pack/source_tree.h"

namespace qev::pack {

// The title folder name to pack a tree under: its source folder's own name, when that is a
// title folder's and the tree's root holds no title folder itself; nothing otherwise.
std::optional<std::string> packedAsTitle(const std::string& source, bool rootHoldsTitles);

// Whether the tree's root holds a title folder.
bool holdsTitles(const SourceTree& tree);

// The tree seen with a root above it: node 0 is the new root, node n + 1 the tree's node n,
// and node 1 (the tree's root) is named `name`.
class AsTitle : public writer::TreeSource {
public:
    AsTitle(const SourceTree& tree, std::string name) : tree_(tree), name_(std::move(name)) {}
    size_t nodeCount() const override { return tree_.nodeCount() + 1; }
    std::string_view name(size_t node) const override;
    bool isFile(size_t node) const override { return node > 0 && tree_.isFile(node - 1); }
    uint64_t size(size_t node) const override { return node > 0 ? tree_.size(node - 1) : 0; }
    size_t childCount(size_t node) const override { return node > 0 ? tree_.childCount(node - 1) : 1; }
    size_t child(size_t node, size_t k) const override { return node > 0 ? tree_.child(node - 1, k) + 1 : 1; }

    // A layout of this tree, made to name the source tree's nodes: the new root stands for
    // the tree's root, a directory like it, so that writing the files sees only the tree.
    static void toSource(writer::TreeLayout& layout);

private:
    const SourceTree& tree_;
    std::string name_;
};

}  // namespace qev::pack
