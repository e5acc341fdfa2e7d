#include "pack/stored_contents.h"

#include <cstring>

#include "pack/source_file.h"

namespace qev::pack {
namespace {

constexpr size_t kPiece = size_t(1) << 20;

}  // namespace

StoredContents::StoredContents(ArchiveReader& reader, const MergedTree& tree, const std::vector<size_t>& order,
                               const std::function<uint64_t(NodeId)>& newStart)
    : reader_(reader), mine_(kPiece), theirs_(kPiece) {
    for (size_t node : order) {
        if (tree.isFile(node) && tree.source(node) == MergedTree::kFromArchive && tree.size(node) > 0) {
            NodeId kept = NodeId(tree.origin(node));
            remember(tree.size(node), {newStart(kept), kept, nullptr, nullptr, 0});
        }
    }
}

void StoredContents::remember(uint64_t size, const Stored& stored) {
    std::vector<Stored>& same = bySize_[size];
    if (same.size() < kCandidates) same.push_back(stored);
}

void StoredContents::addWritten(const SourceTree& tree, SourceDirectories& dirs, size_t node, uint64_t start) {
    if (tree.size(node) > 0) remember(tree.size(node), {start, kInvalidNode, &tree, &dirs, node});
}

std::optional<uint64_t> StoredContents::find(const SourceTree& added, SourceDirectories& dirs, size_t node) {
    auto candidates = bySize_.find(added.size(node));
    if (candidates == bySize_.end()) return std::nullopt;
    for (const Stored& stored : candidates->second) {
        if (same(stored, added, dirs, node)) return stored.start;
    }
    return std::nullopt;
}

bool StoredContents::same(const Stored& stored, const SourceTree& added, SourceDirectories& dirs, size_t node) {
    SourceFile mine(added, dirs, node);
    std::optional<SourceFile> theirs;
    if (stored.kept == kInvalidNode) theirs.emplace(*stored.tree, *stored.dirs, stored.node);
    for (uint64_t at = 0;;) {
        size_t got = mine.read(mine_.data(), mine_.size());
        if (got == 0) {
            mine.finish();
            if (theirs) theirs->finish();
            return at == added.size(node);
        }
        bool read = theirs ? theirs->read(theirs_.data(), got) == got
                           : reader_.readFile(stored.kept, at, got, reinterpret_cast<uint8_t*>(theirs_.data())) == got;
        if (!read || std::memcmp(mine_.data(), theirs_.data(), got) != 0) return false;
        at += got;
    }
}

}  // namespace qev::pack
