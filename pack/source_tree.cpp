#include "pack/source_tree.h"

#include <algorithm>

#include "archive/format/names.h"
#include "archive/read/tree_walk.h"
#include "system/text.h"

namespace qev::pack {
namespace {

bool isExcluded(const DirHandle& dir, const ListedEntry& entry, const std::vector<Excluded>& excluded) {
    for (const Excluded& e : excluded) {
        if (entry.identity
                ? *entry.identity == e.identity
                : equalIgnoringAsciiCase(entry.name, e.name) && entryIdentity(dir, entry.name) == e.identity) {
            return true;
        }
    }
    return false;
}

std::string skippedWhat(FileKind kind) {
    switch (kind) {
        case FileKind::kLink: return "symbolic link";
        case FileKind::kUnnamable: return "name that is not valid Unicode";
        default: return "special file";
    }
}

// Names qev-tool would not find as they stand.
void warnAboutNames(const SourceTree& tree, size_t dir, const WarningReport& warn) {
    SiblingNames names(uint32_t(tree.childCount(dir)));
    for (size_t k = 0; k < tree.childCount(dir); ++k) {
        size_t child = tree.child(dir, k);
        std::string_view name = tree.name(child);
        if (names.add(name) == SiblingNames::Seen::kCaseOnly) {
            warn("Name differs from a sibling's only in letter case, qev-tool finds the first: " +
                 utf8FromPath(tree.pathOf(child)));
        }
        if (name.find('\\') != std::string_view::npos) {
            warn("Name holds a backslash, which qev-tool reads as a separator: " + utf8FromPath(tree.pathOf(child)));
        }
    }
}

}  // namespace

std::filesystem::path SourceTree::pathOf(size_t node) const {
    std::vector<size_t> chain;
    for (size_t n = node; n != 0; n = parents_[n]) chain.push_back(n);
    std::filesystem::path p = root;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) p /= pathFromUtf8(name(*it));
    return p;
}

size_t SourceTree::add(std::string_view name, bool isFile, uint64_t size, const FileStamp& stamp, size_t parent) {
    names_.append(name);
    nameEnds_.push_back(names_.size());
    sizes_.push_back(size);
    parents_.push_back(uint32_t(parent));
    firstChildren_.push_back(0);
    childCounts_.push_back(0);
    isFile_.push_back(isFile ? 1 : 0);
    stamps_.push_back(stamp);
    return parents_.size() - 1;
}

void SourceTree::setChildren(size_t node, size_t first, size_t count) {
    firstChildren_[node] = uint32_t(first);
    childCounts_[node] = uint32_t(count);
}

void scanSourceTree(SourceTree& tree, SourceDirectories& dirs, const std::vector<Excluded>& excluded,
                    const WarningReport& warn) {
    tree.add("", false, 0, {}, 0);
    // An explicit list instead of recursion: trees may be deeper than the stack allows.
    // Each directory's children are added together, so they are consecutive nodes.
    for (size_t next = 0; next < tree.nodeCount(); ++next) {
        if (tree.isFile(next)) continue;
        stopIfAsked();
        SharedDir dir = dirs.open(next);
        size_t first = tree.nodeCount();
        auto listed = listDirectory(*dir);
        if (!listed) {
            std::filesystem::path where = tree.pathOf(next);
            if (!listed.error().name.empty()) where /= pathFromUtf8(listed.error().name);
            throw PackError("Cannot read " + utf8FromPath(where) + ": " + listed.error().reason);
        }
        std::vector<ListedEntry>& entries = *listed;
        std::sort(entries.begin(), entries.end(),
                  [](const ListedEntry& a, const ListedEntry& b) { return a.name < b.name; });
        for (const ListedEntry& entry : entries) {
            bool isFile = entry.kind == FileKind::kFile;
            if (!isFile && entry.kind != FileKind::kDirectory) {
                warn("Skipped " + skippedWhat(entry.kind) + ": " +
                     utf8FromPath(tree.pathOf(next) / pathFromUtf8(entry.name)));
                continue;
            }
            if (isFile && isExcluded(*dir, entry, excluded)) continue;  // the archive itself
            tree.add(entry.name, isFile, entry.size, {entry.modified, entry.changed}, next);
            (isFile ? tree.files : tree.directories) += 1;
            tree.bytes += entry.size;
        }
        tree.setChildren(next, first, tree.nodeCount() - first);
        warnAboutNames(tree, next, warn);
    }
}

}  // namespace qev::pack
