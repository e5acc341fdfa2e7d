#include "archive/read/block_decoder.h"

#include <zstd.h>

#include <new>
#include <string_view>

#include "archive/format/block_hash.h"

namespace qev {

void BlockDecoder::ContextFree::operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }

BlockDecoder::BlockDecoder() : stored_(FixedArray<uint8_t>::zeroed(kBlockSize)), context_(ZSTD_createDCtx()) {
    if (!context_) throw std::bad_alloc();
}

BlockDecoder::~BlockDecoder() = default;

bool BlockDecoder::load(const ArchiveIndex& index, const std::vector<uint32_t>* hashes, uint64_t blockIndex,
                        uint8_t* destination, std::optional<uint32_t>* storedHash) {
    std::optional<BlockLocation> at = index.locateBlock(blockIndex);
    if (!at) return false;
    // A raw block is read straight where it is wanted; a compressed one into the staging buffer.
    bool raw = at->storedLength == kBlockSize;
    uint8_t* stored = raw ? destination : stored_.data();
    if (!index.file().readAt(at->fileOffset, stored, at->storedLength)) return false;
    if (storedHash != nullptr || hashes != nullptr) {
        uint32_t hash = blockHash(std::string_view(reinterpret_cast<const char*>(stored), at->storedLength));
        if (storedHash != nullptr) *storedHash = hash;
        if (hashes != nullptr && (blockIndex >= hashes->size() || (*hashes)[blockIndex] != hash)) return false;
    }
    if (raw) return true;
    // Error results are huge values, so only a full block passes.
    size_t produced = ZSTD_decompressDCtx(context_.get(), destination, kBlockSize, stored, at->storedLength);
    return produced == kBlockSize;
}

std::optional<uint32_t> BlockDecoder::hashStored(const ArchiveIndex& index, uint64_t blockIndex) {
    std::optional<BlockLocation> at = index.locateBlock(blockIndex);
    if (!at || !index.file().readAt(at->fileOffset, stored_.data(), at->storedLength)) return std::nullopt;
    return blockHash(std::string_view(reinterpret_cast<const char*>(stored_.data()), at->storedLength));
}

}  // namespace qev
