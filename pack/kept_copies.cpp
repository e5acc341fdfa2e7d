#include "pack/kept_copies.h"

#include <cstring>
#include <string_view>

#include "pack/source_file.h"

namespace qev::pack {
namespace {

constexpr size_t kPiece = size_t(1) << 20;

}  // namespace

bool KeptCopies::sameBytes(NodeId a, NodeId b, uint64_t size) {
    mine_.resize(kPiece);
    theirs_.resize(kPiece);
    for (uint64_t at = 0; at < size;) {
        uint64_t n = std::min<uint64_t>(kPiece, size - at);
        if (reader_.readFile(a, at, n, reinterpret_cast<uint8_t*>(mine_.data())) != n ||
            reader_.readFile(b, at, n, reinterpret_cast<uint8_t*>(theirs_.data())) != n ||
            std::memcmp(mine_.data(), theirs_.data(), size_t(n)) != 0) {
            return false;
        }
        at += n;
    }
    return true;
}

std::optional<uint64_t> KeptCopies::find(NodeId entry, uint64_t size) {
    lastKey_.reset();
    if (sizes_[size] <= 1) return std::nullopt;
    // A file that cannot be read whole is no copy: sameBytes below reads it again and fails.
    mine_.resize(kPiece);
    lastKey_ = contentKey(size, hashArchiveFile(reader_, entry, size, mine_));
    auto candidates = byKey_.find(*lastKey_);
    if (candidates == byKey_.end()) return std::nullopt;
    for (const Written& w : candidates->second) {
        if (sameBytes(entry, w.entry, size)) return w.start;
    }
    return std::nullopt;
}

void KeptCopies::written(NodeId entry, uint64_t start) {
    if (lastKey_) byKey_[*lastKey_].push_back({entry, start});
    lastKey_.reset();
}

}  // namespace qev::pack
