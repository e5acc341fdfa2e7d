// One opened, validated archive: its file and its three tables, in host byte order.
//
// Only opening makes one, and it never changes afterwards, so any number of readers and
// threads share it without a lock. It answers every question about the tree and where
// blocks lie; reading and decompressing blocks belongs to each ArchiveReader.
//
// Opened whole, the tables are read into memory at once. Opened on demand, they stay in
// the file: each record is read when a question needs it, through a bounded cache of table
// pages that any number of archives share, and checked by the same rules as a whole table's.
// A record that cannot be read answers as one that does not exist.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/format/fixed_array.h"
#include "archive/format/format.h"
#include "archive/read/archive_file.h"
#include "archive/read/shared_cache.h"
#include "system/expected.h"

namespace qev {

using NodeId = uint32_t;
inline constexpr NodeId kInvalidNode = 0xFFFFFFFF;

struct DirEntryInfo {
    std::string_view name;  // into the name table, or into `storage`; empty if unusable
    bool isFile = false;
    bool isDirectory = false;
    uint64_t size = 0;    // 0 for a directory
    std::string storage;  // holds the name of an index read on demand
};

// Where a block's stored bytes lie in the archive file.
struct BlockLocation {
    uint64_t fileOffset;
    uint32_t storedLength;  // kBlockSize means stored raw, anything less compressed
};

// The check that refused an archive, in the order opening applies them.
enum class OpenCheck : uint8_t {
    kFileOpens,
    kSizeKnown,
    kLargerThanFooter,
    kFooterReadable,
    kMagic,
    kFormatVersion,
    kArchiveSize,
    kSectionWithinFile,
    kOffsetTableLimit,
    kNameTableLimit,
    kTreeLimit,
    kOffsetTableShape,
    kOffsetTableReadable,
    kNameTableReadable,
    kTreeShape,
    kTreeReadable,
    kRootIsDirectory,
    kRootUnnamed,
};

struct OpenError {
    OpenCheck check;
    uint8_t section = 0;            // for kSectionWithinFile: 0 to 5, in footer order
    unsigned long systemError = 0;  // for kFileOpens: the system's code (errno, or Windows'), 0 if none
};

// One line, for people, saying why an archive was refused.
std::string describeOpenError(const OpenError& error);

// How a path's components meet the names a directory stores.
enum class NameMatch : uint8_t {
    kFirstIgnoringCase,  // the first child equal to it ignoring ASCII letter case
    kExactFirst,         // the child of exactly that spelling, else the first equal ignoring case
    kExact,              // only the child of exactly that spelling
};

// The tables of an index opened whole, held in memory: names as views into them, valid as
// long as the index. An index read on demand holds none (ArchiveIndex::heldTables() is
// null), so a caller that keeps names must say what it does without them.
class HeldTables {
public:
    HeldTables(const FixedArray<uint8_t>& names, const FixedArray<TreeEntry>& tree)
        : names_(names.data()), namesSize_(names.size()), tree_(tree.data()), treeSize_(tree.size()) {}
    // The name of `node`; empty when it does not decode or the node does not exist.
    std::string_view name(uint32_t node) const;

private:
    const uint8_t* names_;
    size_t namesSize_;
    const TreeEntry* tree_;
    size_t treeSize_;
};

class ArchiveIndex;
using SharedIndex = std::shared_ptr<const ArchiveIndex>;

class ArchiveIndex {
public:
    // Validates the archive in `file`. On success the index owns the file and the handle is
    // left empty; on failure the handle keeps it. Only lack of memory throws.
    static Expected<SharedIndex, OpenError> create(std::unique_ptr<ArchiveFile>& file);
    // Opens the file at `path` and validates it.
    static Expected<SharedIndex, OpenError> open(const std::filesystem::path& path);
    // The same, with the tables left in the file and read through `pages` (slots of
    // kTablePageSize bytes; any other size is a caller's error, thrown) as they are needed.
    static Expected<SharedIndex, OpenError> createOnDemand(std::unique_ptr<ArchiveFile>& file,
                                                           std::shared_ptr<SharedCache> pages);
    static constexpr uint32_t kTablePageSize = 4096;
    bool onDemand() const { return pages_ != nullptr; }

    ArchiveIndex(const ArchiveIndex&) = delete;
    ArchiveIndex& operator=(const ArchiveIndex&) = delete;

    // Resolves a path of components separated by '/' or '\', comparing names without
    // regard to ASCII letter case. The empty path names the root.
    NodeId findPath(std::string_view path) const { return findPath(path, nullptr); }
    // The same, also giving the entries the path passes through, the found one last.
    NodeId findPath(std::string_view path, std::vector<NodeId>* chain) const {
        return findPath(path, NameMatch::kFirstIgnoringCase, chain);
    }
    // The same, each component meeting names as `match` says: kExactFirst makes every path
    // a listing shows open the entry it showed, even beside twins that differ in case.
    NodeId findPath(std::string_view path, NameMatch match, std::vector<NodeId>* chain = nullptr) const;
    bool isFile(NodeId node) const;
    bool isDirectory(NodeId node) const;
    // Children of a directory that lie inside the tree; 0 for a file or a bad id.
    uint32_t entryCount(NodeId directory) const;
    // Fills `info` for a child and tells whether it has a usable name; false, with `info`
    // untouched, when the directory or the position does not exist.
    bool entryAt(NodeId directory, uint32_t position, DirEntryInfo& info) const;
    // The NodeId of a directory's child, or kInvalidNode when entryAt would say it does
    // not exist.
    NodeId childAt(NodeId directory, uint32_t position) const;
    // The children a directory declares, including any that lie past the tree's end.
    uint32_t declaredChildCount(NodeId directory) const;
    uint64_t fileSize(NodeId node) const;
    // Where a file begins in the decompressed data stream; 0 for a directory or a bad id.
    uint64_t fileStart(NodeId node) const;
    // The tables in memory, for names that last as long as the index; null when the tables
    // are read on demand (nameOf serves both).
    const HeldTables* heldTables() const { return held_ ? &*held_ : nullptr; }
    // The name of `node` however the archive was opened: a view into the name table, or
    // into `scratch`, valid until it changes. Empty when the entry does not exist or its
    // name does not decode; nothing when the name table cannot be read.
    std::optional<std::string_view> nameOf(NodeId node, std::string& scratch) const;
    // The same for an entry already read.
    std::optional<std::string_view> nameOf(const TreeEntry& entry, std::string& scratch) const {
        return nameAt(entry.nameOffset(), scratch);
    }
    // The entry itself; nothing when it does not exist or cannot be read.
    std::optional<TreeEntry> treeEntry(NodeId node) const;
    // Entries first .. first + count - 1 (all below treeSize()) into `out`, read from the
    // file straight, not through the page cache; false when they cannot be read.
    bool copyTreeEntries(NodeId first, uint32_t count, TreeEntry* out) const;
    // Whether `node` is below the number of entries, and that number.
    uint32_t treeSize() const { return treeSize_; }

    // Where block `blockIndex` is stored, or nothing when it does not exist or does not lie
    // wholly inside the data section. Reads nothing from the file.
    std::optional<BlockLocation> locateBlock(uint64_t blockIndex) const;
    // Whether every block a file covers can be located; true for an empty file, false for
    // anything that is not a file. Lets a caller refuse an impossible size before
    // allocating for it.
    bool fileBlocksLocatable(NodeId node) const;
    // 16 times the number of offset records: block indices at or above it do not exist.
    uint64_t blockCount() const { return blockCount_; }
    size_t recordCount() const { return size_t(blockCount_ / kBlocksPerRecord); }
    // Record `r` (below recordCount()); all zero when it cannot be read.
    BlockOffsetRecord record(size_t r) const;
    uint64_t dataOffset() const { return dataOffset_; }
    uint64_t dataSize() const { return dataSize_; }
    // The archive file's size when it was opened.
    uint64_t archiveSize() const { return archiveSize_; }
    // Bytes of memory the three tables take (0 when they are read on demand).
    uint64_t tableBytes() const;

    const ArchiveFile& file() const { return *file_; }

private:
    ArchiveIndex(std::unique_ptr<ArchiveFile> file, FixedArray<BlockOffsetRecord> offsetRecords,
                 FixedArray<uint8_t> nameTable, FixedArray<TreeEntry> treeEntries, const ArchiveFooter& footer,
                 std::shared_ptr<SharedCache> pages = nullptr);

    std::optional<TreeEntry> entry(NodeId node) const { return treeEntry(node); }
    uint32_t childrenInTree(const TreeEntry& directory) const;
    NodeId findChild(const TreeEntry& directory, std::string_view component, NameMatch match) const;
    // findPath's steps, names separated by '/' and, with `backslashes`, by '\' too.
    NodeId walkPath(std::string_view path, NameMatch match, bool backslashes, std::vector<NodeId>* chain) const;
    // The tables, in footer order: their numbers key the page cache.
    enum class Table : uint8_t { kOffsets = 0, kNames = 1, kTree = 2 };
    // Bytes of `table` at `at`, read through the page cache; false when they lie outside it
    // or cannot be read.
    bool readTable(Table table, uint64_t at, uint8_t* destination, uint32_t length) const;
    std::optional<std::string_view> nameAt(uint32_t offset, std::string& scratch) const;
    std::optional<BlockOffsetRecord> offsetRecord(size_t r) const;

    std::unique_ptr<ArchiveFile> file_;
    FixedArray<BlockOffsetRecord> offsetRecords_;
    FixedArray<uint8_t> nameTable_;
    FixedArray<TreeEntry> treeEntries_;
    std::optional<HeldTables> held_;  // over the three above, when they are held
    uint64_t dataOffset_;
    uint64_t dataSize_;
    uint64_t blockCount_;
    uint64_t archiveSize_;
    uint32_t treeSize_;
    std::array<SectionRange, 3> tables_;  // offsets, names, tree, as the footer gives them
    std::shared_ptr<SharedCache> pages_;  // set when the tables are read on demand
    uint32_t owner_ = 0;                  // this archive's keys in pages_
};

}  // namespace qev
