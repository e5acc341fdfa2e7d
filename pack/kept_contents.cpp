#include "pack/kept_contents.h"

#include <cstring>

#include "pack/source_file.h"

namespace qev::pack {
namespace {

constexpr size_t kPiece = size_t(1) << 20;

}  // namespace

KeptContents::KeptContents(ArchiveReader& reader, const MergedTree& tree, const std::vector<size_t>& order)
    : reader_(reader), mine_(kPiece), theirs_(kPiece) {
    for (size_t node : order) {
        if (tree.isFile(node) && tree.source(node) == MergedTree::kFromArchive && tree.size(node) > 0) {
            std::vector<NodeId>& same = bySize_[tree.size(node)];
            if (same.size() < kCandidates) same.push_back(NodeId(tree.origin(node)));
        }
    }
}

NodeId KeptContents::find(const SourceTree& added, SourceDirectories& dirs, size_t node) {
    auto candidates = bySize_.find(added.size(node));
    if (candidates == bySize_.end()) return kInvalidNode;
    for (NodeId kept : candidates->second) {
        if (same(kept, added, dirs, node)) return kept;
    }
    return kInvalidNode;
}

bool KeptContents::same(NodeId kept, const SourceTree& added, SourceDirectories& dirs, size_t node) {
    SourceFile file(added, dirs, node);
    for (uint64_t at = 0;;) {
        size_t got = file.read(mine_.data(), mine_.size());
        if (got == 0) {
            file.finish();
            return at == added.size(node);
        }
        if (reader_.readFile(kept, at, got, reinterpret_cast<uint8_t*>(theirs_.data())) != got ||
            std::memcmp(mine_.data(), theirs_.data(), got) != 0) {
            return false;
        }
        at += got;
    }
}

}  // namespace qev::pack
