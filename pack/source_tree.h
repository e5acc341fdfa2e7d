// Reading a directory tree from disk into the nodes the archive writer lays out.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/write/archive_writer.h"
#include "pack/pack_error.h"
#include "pack/source_dirs.h"
#include "system/file.h"

namespace qev::pack {

// The tree, kept compact: about 50 bytes an entry. A directory's children are
// consecutive nodes.
class SourceTree : public writer::TreeSource {
public:
    std::filesystem::path root;
    uint64_t files = 0;
    uint64_t directories = 0;
    uint64_t bytes = 0;

    size_t nodeCount() const override { return parents_.size(); }
    std::string_view name(size_t node) const override {
        return std::string_view(names_).substr(nameEnds_[node] - nameLength(node), nameLength(node));
    }
    bool isFile(size_t node) const override { return isFile_[node] != 0; }
    uint64_t size(size_t node) const override { return sizes_[node]; }
    size_t childCount(size_t node) const override { return childCounts_[node]; }
    size_t child(size_t node, size_t k) const override { return firstChildren_[node] + k; }
    const FileStamp& stamp(size_t node) const { return stamps_[node]; }
    size_t parent(size_t node) const { return parents_[node]; }

    // Where a node's contents come from: the root and the names down to it.
    std::filesystem::path pathOf(size_t node) const;

    size_t add(std::string_view name, bool isFile, uint64_t size, const FileStamp& stamp, size_t parent);
    void setChildren(size_t node, size_t first, size_t count);

private:
    size_t nameLength(size_t node) const { return nameEnds_[node] - (node == 0 ? 0 : nameEnds_[node - 1]); }

    std::string names_;  // every name, back to back
    std::vector<uint64_t> nameEnds_;
    std::vector<uint64_t> sizes_;
    std::vector<uint32_t> parents_;
    std::vector<uint32_t> firstChildren_;
    std::vector<uint32_t> childCounts_;
    std::vector<uint8_t> isFile_;
    std::vector<FileStamp> stamps_;
};

// Called for each entry left out or worth a warning, with the line's text (without
// "Warning: ").
using WarningReport = std::function<void(const std::string& text)>;

// A file the scan must leave out: the archive being written, should it lie in the tree.
// Where a listing gives no identities (Windows), only entries named `name` (in any letter
// case) are looked at more closely.
struct Excluded {
    FileIdentity identity;
    std::string name;
};

// Fills `tree` (whose root names the source folder) with every regular file and directory
// below it, listed through `dirs`, children ordered by the bytes of their names, so the same
// tree always gives the same nodes. Symbolic links and special files
// are left out with a warning, and names that qev-tool could not reach as they are
// (differing from a sibling's only in letter case, holding a backslash) get one. Throws
// PackError when a directory or file cannot be read.
void scanSourceTree(SourceTree& tree, SourceDirectories& dirs, const std::vector<Excluded>& excluded,
                    const WarningReport& warn);

}  // namespace qev::pack
