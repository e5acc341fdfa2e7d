// Read-only queries over the file tree. None takes a lock: the tables never change, and
// the page cache of an archive opened on demand guards itself.
#include <algorithm>
#include <array>
#include <cstring>

#include "archive/format/names.h"
#include "archive/read/archive_index.h"

namespace qev {
namespace {}  // namespace

bool ArchiveIndex::readTable(Table which, uint64_t at, uint8_t* destination, uint32_t length) const {
    const SectionRange& table = tables_[size_t(which)];
    if (at > table.size || length > table.size - at) return false;
    constexpr uint32_t pageSize = kTablePageSize;  // the slot size of pages_, checked at opening
    while (length > 0) {
        // Keys: the owner in the top 30 bits, the table in the next 2, the page in the low
        // 32 (a table is below 2^32 bytes).
        uint64_t page = at / pageSize;
        uint32_t within = uint32_t(at % pageSize);
        uint32_t n = std::min(length, pageSize - within);
        uint64_t key = uint64_t(owner_) << 34 | uint64_t(which) << 32 | page;
        if (!pages_->copyOut(key, within, destination, n)) {
            // Read outside the cache's lock; a page that ends the table is shorter.
            std::array<uint8_t, pageSize> bytes{};
            uint64_t start = page * pageSize;
            uint32_t stored = uint32_t(std::min<uint64_t>(pageSize, table.size - start));
            if (!file_->readAt(table.offset + start, bytes.data(), stored)) return false;
            pages_->store(key, bytes.data());
            std::memcpy(destination, bytes.data() + within, n);
        }
        destination += n;
        at += n;
        length -= n;
    }
    return true;
}

std::optional<TreeEntry> ArchiveIndex::treeEntry(NodeId node) const {
    if (node >= treeSize_) return std::nullopt;
    if (!pages_) return treeEntries_[node];
    uint8_t bytes[kTreeEntrySize];
    if (!readTable(Table::kTree, uint64_t(node) * kTreeEntrySize, bytes, kTreeEntrySize)) return std::nullopt;
    return decodeTreeEntry(bytes);
}

bool ArchiveIndex::copyTreeEntries(NodeId first, uint32_t count, TreeEntry* out) const {
    if (first > treeSize_ || count > treeSize_ - first) return false;
    if (!pages_) {
        std::copy_n(treeEntries_.data() + first, count, out);
        return true;
    }
    auto* bytes = reinterpret_cast<uint8_t*>(out);
    uint64_t length = uint64_t(count) * kTreeEntrySize;  // within the tree, so below 2^32
    if (!file_->readAt(tables_[size_t(Table::kTree)].offset + uint64_t(first) * kTreeEntrySize, bytes,
                       uint32_t(length)))
        return false;
    decodeTreeEntriesInPlace(out, count);
    return true;
}

std::optional<BlockOffsetRecord> ArchiveIndex::offsetRecord(size_t r) const {
    if (r >= recordCount()) return std::nullopt;
    if (!pages_) return offsetRecords_[r];
    uint8_t bytes[kOffsetRecordSize];
    if (!readTable(Table::kOffsets, uint64_t(r) * kOffsetRecordSize, bytes, kOffsetRecordSize)) return std::nullopt;
    return decodeOffsetRecord(bytes);
}

BlockOffsetRecord ArchiveIndex::record(size_t r) const { return offsetRecord(r).value_or(BlockOffsetRecord{}); }

std::optional<std::string_view> ArchiveIndex::nameAt(uint32_t offset, std::string& scratch) const {
    if (!pages_) return decodeName(nameTable_.data(), nameTable_.size(), offset);
    // The same rules as decodeName, on the bytes the name needs: a one or two byte prefix,
    // then the name, all inside the table.
    uint64_t tableSize = tables_[size_t(Table::kNames)].size;
    if (offset == kNoName || offset >= tableSize) return std::string_view();
    uint8_t prefix[2] = {0, 0};
    uint32_t prefixLength = uint32_t(std::min<uint64_t>(2, tableSize - offset));
    if (!readTable(Table::kNames, offset, prefix, prefixLength)) return std::nullopt;
    uint64_t length = prefix[0];
    uint64_t start = uint64_t(offset) + 1;
    if (length >= 0x80) {
        if (prefixLength < 2) return std::string_view();
        length = (length & 0x7F) | uint64_t(prefix[1]) << 7;
        ++start;
    }
    if (length == 0 || length > tableSize - start) return std::string_view();
    scratch.resize(size_t(length));
    if (!readTable(Table::kNames, start, reinterpret_cast<uint8_t*>(scratch.data()), uint32_t(length)))
        return std::nullopt;
    return std::string_view(scratch);
}

uint32_t ArchiveIndex::childrenInTree(const TreeEntry& directory) const {
    // Children at or past the end of the tree do not exist; widened so nothing wraps.
    uint64_t first = directory.firstChild();
    if (directory.childCount() == 0 || first >= treeSize_) return 0;
    return uint32_t(std::min<uint64_t>(directory.childCount(), treeSize_ - first));
}

bool ArchiveIndex::isFile(NodeId node) const {
    std::optional<TreeEntry> e = entry(node);
    return e && e->isFile();
}

bool ArchiveIndex::isDirectory(NodeId node) const {
    std::optional<TreeEntry> e = entry(node);
    return e && !e->isFile();
}

uint32_t ArchiveIndex::entryCount(NodeId directory) const {
    std::optional<TreeEntry> e = entry(directory);
    return e && !e->isFile() ? childrenInTree(*e) : 0;
}

uint32_t ArchiveIndex::declaredChildCount(NodeId directory) const {
    std::optional<TreeEntry> e = entry(directory);
    return e && !e->isFile() ? e->childCount() : 0;
}

uint64_t ArchiveIndex::fileSize(NodeId node) const {
    std::optional<TreeEntry> e = entry(node);
    return e && e->isFile() ? e->fileSize() : 0;
}

uint64_t ArchiveIndex::fileStart(NodeId node) const {
    std::optional<TreeEntry> e = entry(node);
    return e && e->isFile() ? e->fileStart() : 0;
}

std::string_view HeldTables::name(uint32_t node) const {
    if (node >= treeSize_) return {};
    return decodeName(names_, namesSize_, tree_[node].nameOffset());
}

std::optional<std::string_view> ArchiveIndex::nameOf(NodeId node, std::string& scratch) const {
    std::optional<TreeEntry> e = entry(node);
    if (!e) return node < treeSize_ ? std::nullopt : std::optional<std::string_view>(std::string_view());
    return nameAt(e->nameOffset(), scratch);
}

NodeId ArchiveIndex::childAt(NodeId directory, uint32_t position) const {
    std::optional<TreeEntry> dir = entry(directory);
    if (!dir || dir->isFile() || position >= childrenInTree(*dir)) return kInvalidNode;
    return dir->firstChild() + position;
}

bool ArchiveIndex::entryAt(NodeId directory, uint32_t position, DirEntryInfo& info) const {
    NodeId child = childAt(directory, position);
    if (child == kInvalidNode) return false;
    std::optional<TreeEntry> e = entry(child);
    if (!e) return false;
    info.isFile = e->isFile();
    info.isDirectory = !e->isFile();
    info.size = e->isFile() ? e->fileSize() : 0;
    info.name = nameOf(*e, info.storage).value_or(std::string_view());
    return !info.name.empty();
}

NodeId ArchiveIndex::findChild(const TreeEntry& directory, std::string_view component, NameMatch match) const {
    uint32_t count = childrenInTree(directory);
    std::string scratch;
    NodeId firstFolded = kInvalidNode;
    for (uint32_t i = 0; i < count; ++i) {
        NodeId child = directory.firstChild() + i;
        // The first match wins, even if a later sibling matches too.
        std::optional<std::string_view> name = nameOf(child, scratch);
        if (!name || !equalIgnoringAsciiCase(*name, component)) continue;
        if (match == NameMatch::kFirstIgnoringCase || *name == component) return child;
        if (firstFolded == kInvalidNode && match == NameMatch::kExactFirst) firstFolded = child;
    }
    return firstFolded;
}

NodeId ArchiveIndex::findPath(std::string_view path, NameMatch match, std::vector<NodeId>* chain) const {
    // A stored name may hold '\' (only '/' and NUL are barred from names), so a path as a
    // walk gives it, with '/' between names, is first tried exactly as spelled: such a name
    // opens itself, not what splitting it at its '\' would name.
    if (match == NameMatch::kExactFirst && path.find('\\') != std::string_view::npos) {
        std::vector<NodeId> literal;
        NodeId found = walkPath(path, NameMatch::kExact, false, chain != nullptr ? &literal : nullptr);
        if (found != kInvalidNode) {
            if (chain != nullptr) chain->insert(chain->end(), literal.begin(), literal.end());
            return found;
        }
    }
    return walkPath(path, match, true, chain);
}

NodeId ArchiveIndex::walkPath(std::string_view path, NameMatch match, bool backslashes,
                              std::vector<NodeId>* chain) const {
    auto separates = [backslashes](char c) { return c == '/' || (backslashes && c == '\\'); };
    NodeId current = 0;
    size_t i = 0;
    for (;;) {
        while (i < path.size() && separates(path[i])) ++i;
        if (i == path.size()) return current;
        size_t end = size_t(std::find_if(path.begin() + i, path.end(), separates) - path.begin());
        std::optional<TreeEntry> here = entry(current);
        if (!here || here->isFile()) return kInvalidNode;
        current = findChild(*here, path.substr(i, end - i), match);
        if (current == kInvalidNode) return kInvalidNode;
        if (chain != nullptr) chain->push_back(current);
        i = end;
    }
}

}  // namespace qev
