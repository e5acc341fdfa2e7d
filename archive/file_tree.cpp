// Read-only queries over the file tree. None takes the lock: the tables never change.
#include <algorithm>

#include "archive/archive_index.h"
#include "archive/names.h"

namespace qev {
namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

}  // namespace

const TreeEntry* ArchiveIndex::entry(NodeId node) const {
    return node < treeEntries.size() ? &treeEntries[node] : nullptr;
}

uint32_t ArchiveIndex::childrenInTree(const TreeEntry& directory) const {
    // Children at or past the end of the tree do not exist; widened so nothing wraps.
    uint64_t first = directory.firstChild();
    if (directory.childCount() == 0 || first >= treeEntries.size()) return 0;
    return uint32_t(std::min<uint64_t>(directory.childCount(), treeEntries.size() - first));
}

bool ArchiveIndex::isFile(NodeId node) const {
    const TreeEntry* e = entry(node);
    return e != nullptr && e->isFile();
}

bool ArchiveIndex::isDirectory(NodeId node) const {
    const TreeEntry* e = entry(node);
    return e != nullptr && !e->isFile();
}

uint32_t ArchiveIndex::entryCount(NodeId directory) const {
    const TreeEntry* e = entry(directory);
    return e != nullptr && !e->isFile() ? childrenInTree(*e) : 0;
}

uint32_t ArchiveIndex::declaredChildCount(NodeId directory) const {
    const TreeEntry* e = entry(directory);
    return e != nullptr && !e->isFile() ? e->childCount() : 0;
}

uint64_t ArchiveIndex::fileSize(NodeId node) const {
    const TreeEntry* e = entry(node);
    return e != nullptr && e->isFile() ? e->fileSize() : 0;
}

uint64_t ArchiveIndex::fileStart(NodeId node) const {
    const TreeEntry* e = entry(node);
    return e != nullptr && e->isFile() ? e->fileStart() : 0;
}

std::string_view ArchiveIndex::entryName(NodeId node) const {
    const TreeEntry* e = entry(node);
    uint32_t offset = e != nullptr ? e->nameOffset() : kNoName;
    return decodeName(nameTable.data(), nameTable.size(), offset);
}

NodeId ArchiveIndex::childAt(NodeId directory, uint32_t position) const {
    const TreeEntry* dir = entry(directory);
    if (dir == nullptr || dir->isFile() || position >= childrenInTree(*dir)) return kInvalidNode;
    return dir->firstChild() + position;
}

bool ArchiveIndex::entryAt(NodeId directory, uint32_t position, DirEntryInfo& info) const {
    NodeId child = childAt(directory, position);
    if (child == kInvalidNode) return false;
    const TreeEntry& e = treeEntries[child];
    info.isFile = e.isFile();
    info.isDirectory = !e.isFile();
    info.size = e.isFile() ? e.fileSize() : 0;
    info.name = entryName(child);
    return !info.name.empty();
}

NodeId ArchiveIndex::findChild(const TreeEntry& directory, std::string_view component) const {
    uint32_t count = childrenInTree(directory);
    for (uint32_t i = 0; i < count; ++i) {
        NodeId child = directory.firstChild() + i;
        // The first match wins, even if a later sibling matches too.
        if (equalIgnoringAsciiCase(entryName(child), component)) return child;
    }
    return kInvalidNode;
}

NodeId ArchiveIndex::findPath(std::string_view path, std::vector<NodeId>* chain) const {
    NodeId current = 0;
    size_t i = 0;
    for (;;) {
        while (i < path.size() && isSeparator(path[i])) ++i;
        if (i == path.size()) return current;
        size_t end = std::find_if(path.begin() + i, path.end(), isSeparator) - path.begin();
        if (treeEntries[current].isFile()) return kInvalidNode;
        current = findChild(treeEntries[current], path.substr(i, end - i));
        if (current == kInvalidNode) return kInvalidNode;
        if (chain != nullptr) chain->push_back(current);
        i = end;
    }
}

}  // namespace qev
