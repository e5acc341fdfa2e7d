// Writing QEV archives: the tree and name table, and the tables and footer behind the data
// stream (whose blocks parallel_blocks.h compresses). Shared by qev-pack and the tests'
// archive builder.
//
// A file is laid out as: data section, offset table, name table, tree, footer. Entries get
// NodeIds breadth first (the root is 0, each directory's children follow one another in
// the given order). layOutTree gives files consecutive stream positions; qev-pack then
// places them as it writes them.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "archive/format/format.h"

namespace qev::writer {

std::string storeBE16(uint16_t v);
std::string storeBE32(uint32_t v);
std::string storeBE64(uint64_t v);
std::string encodeFooter(const ArchiveFooter& footer);
std::string encodeOffsetRecord(const BlockOffsetRecord& record);
std::string encodeTreeEntry(const TreeEntry& entry);
// A name with its length prefix; `twoByte` forces the two-byte form for short names.
std::string encodeName(std::string_view name, bool twoByte = false);

TreeEntry directoryEntry(uint32_t nameRef, uint32_t firstChild, uint32_t childCount);
TreeEntry fileEntry(uint32_t nameRef, uint64_t start, uint64_t size);

inline constexpr uint64_t kMaxNameLength = 32767;
inline constexpr uint64_t kMaxStreamSize = uint64_t(1) << 48;

struct WriterNode {
    std::string name;  // empty for the root
    bool isFile = false;
    uint64_t size = 0;             // a file's length in bytes
    std::vector<size_t> children;  // a directory's children, as indices into the node list
};

// A tree to lay out, asked node by node; node 0 is the root.
class TreeSource {
public:
    virtual ~TreeSource() = default;
    virtual size_t nodeCount() const = 0;
    virtual std::string_view name(size_t node) const = 0;
    virtual bool isFile(size_t node) const = 0;
    virtual uint64_t size(size_t node) const = 0;
    virtual size_t childCount(size_t node) const = 0;
    virtual size_t child(size_t node, size_t k) const = 0;
};

struct TreeLayout {
    std::vector<size_t> order;       // NodeId -> index into the node list
    std::string names;               // the name table
    std::vector<TreeEntry> entries;  // the tree, in NodeId order
    uint64_t streamSize = 0;         // sum of the file sizes
};

// Lays out the tree whose root is nodes[0]. With `shareNames`, entries with the same name
// refer to one copy of it, as the format allows. Throws std::length_error for a name or
// stream the format cannot hold.
TreeLayout layOutTree(const TreeSource& tree, bool twoBytePrefixes = false, bool shareNames = false);
TreeLayout layOutTree(const std::vector<WriterNode>& nodes, bool twoBytePrefixes = false, bool shareNames = false);

// Raised when the compressor refuses a block.
struct CompressionError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One record per 16 blocks, at least one, each record's blocks back to back. Lengths
// outside 1 to 65536, which only deliberately broken archives have, are clamped in the
// record while `base` still counts the bytes really stored.
std::vector<BlockOffsetRecord> offsetRecordsFor(const std::vector<uint32_t>& storedLengths);

// The footer for tables laid right after a data section at [dataOffset, dataOffset +
// dataSize): offset table, name table, tree, then empty sections 4 and 5 and the footer.
ArchiveFooter footerFor(uint64_t dataOffset, uint64_t dataSize, size_t recordCount, size_t namesSize,
                        size_t entryCount);

// The offset table, name table and tree as stored, one after another.
std::string encodeTables(const std::vector<BlockOffsetRecord>& records, std::string_view names,
                         const std::vector<TreeEntry>& entries);

}  // namespace qev::writer
