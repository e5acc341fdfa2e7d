#include "pack/kept_copies.h"

#include <cstring>
#include <string_view>

#include "pack/source_file.h"

namespace qev::pack {
namespace {

constexpr size_t kPiece = size_t(1) << 20;

}  // namespace

std::optional<uint64_t> KeptCopies::hashOf(NodeId entry, uint64_t size) {
    mine_.resize(kPiece);
    ContentHash hash;
    for (uint64_t at = 0; at < size;) {
        uint64_t n = std::min<uint64_t>(kPiece, size - at);
        if (reader_.readFile(entry, at, n, reinterpret_cast<uint8_t*>(mine_.data())) != n) return std::nullopt;
        hash.update(std::string_view(mine_.data(), size_t(n)));
        at += n;
    }
    return hash.value();
}

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
    std::optional<uint64_t> hash = hashOf(entry, size);
    if (!hash) return std::nullopt;
    lastKey_ = contentKey(size, *hash);
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
