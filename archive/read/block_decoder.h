// Loading one stored block: located through an archive's index, read, checked against its
// hash where the archive's integrity record gives one, and decompressed. A decoder holds
// the staging buffer and the decompression context and serves any archive, so a pool of a
// few decoders serves a process however many archives it has open.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "archive/format/fixed_array.h"
#include "archive/read/archive_index.h"

struct ZSTD_DCtx_s;

namespace qev {

class BlockDecoder {
public:
    BlockDecoder();
    ~BlockDecoder();
    BlockDecoder(const BlockDecoder&) = delete;
    BlockDecoder& operator=(const BlockDecoder&) = delete;

    // Decompresses block `blockIndex` of `index` into `destination` (kBlockSize bytes);
    // false when it cannot be located, read, decompressed to a full block, or, with
    // `hashes`, when its stored bytes do not hash to hashes[blockIndex] (blockHash).
    // `storedHash`, when given, gets the blockHash of its stored bytes once they are read.
    bool load(const ArchiveIndex& index, const std::vector<uint32_t>* hashes, uint64_t blockIndex, uint8_t* destination,
              std::optional<uint32_t>* storedHash = nullptr);
    // The blockHash of block `blockIndex` as stored; nothing when it cannot be located or read.
    std::optional<uint32_t> hashStored(const ArchiveIndex& index, uint64_t blockIndex);

private:
    struct ContextFree {
        void operator()(ZSTD_DCtx_s* context) const;
    };

    FixedArray<uint8_t> stored_;
    // One context for every block: creating one per block would allocate per block.
    std::unique_ptr<ZSTD_DCtx_s, ContextFree> context_;
};

}  // namespace qev
