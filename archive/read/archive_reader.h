// Reading QEV archives: one stream of reads through an opened archive, with its own cache
// of decompressed blocks.
//
// The reader never prints and never throws for a bad archive: every failure is a return
// value (null, kInvalidNode, false or 0). Only lack of memory raises std::bad_alloc. The
// tree queries are the shared ArchiveIndex's (index()) and take no lock; readFile
// serialises itself, so one reader may be shared between threads, and each thread may have
// a reader of its own for reads that decompress in parallel.
#pragma once

#include <cstdint>
#include <filesystem>
#include <istream>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "archive/format/fixed_array.h"
#include "archive/read/archive_index.h"
#include "archive/read/block_cache.h"
#include "archive/read/block_decoder.h"

namespace qev {

class ArchiveReader {
public:
    // A reader of an opened archive; it costs its cache (`cacheSlots` blocks of 64 KiB, at
    // least 1) and buffers, nothing more.
    explicit ArchiveReader(SharedIndex index, uint32_t cacheSlots = kCacheSlotCount);
    ~ArchiveReader();
    ArchiveReader(const ArchiveReader&) = delete;
    ArchiveReader& operator=(const ArchiveReader&) = delete;

    // A further reader of the same archive, with a cache of its own of the same size.
    std::unique_ptr<ArchiveReader> makeReader() const;
    const ArchiveIndex& index() const { return *index_; }
    const SharedIndex& sharedIndex() const { return index_; }
    // The cache's state, for looking at what reads left in it.
    const BlockCache& cacheState() const { return cache_; }

    // Copies up to `length` bytes of a file from `position` on into `destination` and
    // returns min(length, size - position), or 0 when nothing could be read, a block failed
    // to load or the archive file changed on disk since it was opened.
    uint64_t readFile(NodeId node, uint64_t position, uint64_t length, uint8_t* destination);

    // Decompresses block `blockIndex` into `destination` (kBlockSize bytes) without touching
    // the cache; false when it cannot be located, read or decompressed to a full block.
    // `storedHash`, when given, gets the blockHash of its stored bytes once they are read.
    bool loadBlock(uint64_t blockIndex, uint8_t* destination, std::optional<uint32_t>* storedHash = nullptr);

    // Before any read: a block whose stored bytes do not hash to `hashes[block]` (blockHash),
    // or that lies past them, fails to load as a damaged one would. Readers made from this
    // one check the same.
    void checkBlocksAgainst(std::shared_ptr<const std::vector<uint32_t>> hashes);
    // The hash of block `blockIndex` as stored (blockHash); nothing when it cannot be
    // located or read.
    std::optional<uint32_t> hashStoredBlock(uint64_t blockIndex);

private:
    CacheBlock* fetchBlock(uint64_t blockIndex);
    // The decompressed block to copy from: a cache slot's buffer, or `destination` itself
    // when the block was loaded straight into it. Null when the block fails to load.
    const uint8_t* blockForCopy(uint64_t blockIndex, bool wantedWhole, bool direct, uint8_t* destination);
    bool loadBlockLocked(uint64_t blockIndex, uint8_t* destination, std::optional<uint32_t>* storedHash = nullptr);

    SharedIndex index_;
    std::mutex readLock_;
    BlockCache cache_;
    BlockDecoder decoder_;
    std::shared_ptr<const std::vector<uint32_t>> blockHashes_;  // null: blocks are not checked
};

// Opens and validates the archive at `path`; null when it cannot be opened or is not a
// valid QEV archive. The file is closed again on failure.
std::unique_ptr<ArchiveReader> openArchive(const std::filesystem::path& path);

}  // namespace qev
