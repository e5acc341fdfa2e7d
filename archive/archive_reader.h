// Reading QEV archives: opening and validating one, walking its file tree and reading
// stored files through a cache of decompressed blocks.
//
// The reader never prints and never throws for a bad archive: every failure is a
// return value (null, kInvalidNode, false or 0). Only lack of memory raises
// std::bad_alloc. Tree queries take no lock; readFile serialises itself, so one reader
// may be shared between threads.
#pragma once

#include <cstdint>
#include <filesystem>
#include <istream>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "archive/block_cache.h"
#include "archive/file_stream.h"
#include "archive/fixed_array.h"
#include "archive/format.h"

struct ZSTD_DCtx_s;

namespace qev {

using NodeId = uint32_t;
inline constexpr NodeId kInvalidNode = 0xFFFFFFFF;

struct DirEntryInfo {
    std::string_view name;  // a view into the reader's name table; empty if unusable
    bool isFile = false;
    bool isDirectory = false;
    uint64_t size = 0;  // 0 for a directory
};

// Where a block's stored bytes lie in the archive file.
struct BlockLocation {
    uint64_t fileOffset;
    uint32_t storedLength;  // kBlockSize means stored raw, anything less compressed
};

class ArchiveReader {
public:
    // Takes over the stream and the three tables, leaving the caller's handles empty.
    ArchiveReader(std::unique_ptr<std::istream>& stream, FixedArray<BlockOffsetRecord>& offsetRecords,
                  FixedArray<uint8_t>& nameTable, FixedArray<TreeEntry>& treeEntries,
                  uint64_t dataOffset, uint64_t dataSize);
    ~ArchiveReader();
    ArchiveReader(const ArchiveReader&) = delete;
    ArchiveReader& operator=(const ArchiveReader&) = delete;

    // Resolves a path of components separated by '/' or '\', comparing names without
    // regard to ASCII letter case. The empty path names the root.
    NodeId findPath(std::string_view path) const;
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
    uint64_t fileSize(NodeId node) const;
    // Where a file begins in the decompressed data stream; 0 for a directory or a bad id.
    uint64_t fileStart(NodeId node) const;
    std::string_view entryName(NodeId node) const;

    // Copies up to `length` bytes of a file from `position` on into `destination` and
    // returns min(length, size - position), or 0 when nothing could be read or a block
    // failed to load.
    uint64_t readFile(NodeId node, uint64_t position, uint64_t length, uint8_t* destination);

    // Where block `blockIndex` is stored, or nothing when it does not exist or does not lie
    // wholly inside the data section. Reads nothing from the file.
    std::optional<BlockLocation> locateBlock(uint64_t blockIndex) const;
    // Whether every block a file covers can be located; true for an empty file, false for
    // anything that is not a file. Lets a caller refuse an impossible size before
    // allocating for it.
    bool fileBlocksLocatable(NodeId node) const;
    // Bytes of memory the three tables take.
    uint64_t tableBytes() const;

private:
    friend struct ArchiveReaderTestAccess;
    struct DecompressorFree {
        void operator()(ZSTD_DCtx_s* context) const;
    };

    const TreeEntry* entry(NodeId node) const;
    uint32_t childrenInTree(const TreeEntry& directory) const;
    NodeId findChild(const TreeEntry& directory, std::string_view component) const;
    CacheBlock* fetchBlock(uint64_t blockIndex);
    // The decompressed block to copy from: a cache slot's buffer, or `destination` itself
    // when the block was loaded straight into it. Null when the block fails to load.
    const uint8_t* blockForCopy(uint64_t blockIndex, bool wantedWhole, bool direct,
                                uint8_t* destination);
    bool loadBlock(uint64_t blockIndex, uint8_t* destination);

    std::mutex readLock;
    BlockCache cache;
    std::unique_ptr<std::istream> stream;
    // The same stream when it is a file on disk, whose changes make reads fail; else null.
    const FileStream* fileStream;
    FixedArray<BlockOffsetRecord> offsetRecords;
    FixedArray<uint8_t> nameTable;
    FixedArray<TreeEntry> treeEntries;
    uint64_t dataOffset;
    uint64_t dataSize;
    uint64_t blockCount;
    FixedArray<uint8_t> compressedBuffer;
    // One context for every decompression: creating one per block would allocate per miss.
    std::unique_ptr<ZSTD_DCtx_s, DecompressorFree> decompressor;
};

// Opens and validates the archive at `path`; null when it cannot be opened or is not a
// valid QEV archive. The file is closed again on failure.
std::unique_ptr<ArchiveReader> openArchive(const std::filesystem::path& path);

// Validates the archive in an open stream. On success the reader owns the stream and the
// handle is left empty; on failure the handle keeps it, possibly at another position.
std::unique_ptr<ArchiveReader> openArchiveStream(std::unique_ptr<std::istream>& stream);

// Reads exactly `count` bytes at absolute `offset`; false on a failed seek, a short read
// or an error. A count of 0 reads nothing and succeeds.
bool readAt(std::istream& stream, uint64_t offset, uint8_t* destination, uint32_t count);

}  // namespace qev
