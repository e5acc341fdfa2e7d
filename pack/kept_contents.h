// An update's kept files by size, so that an added file with the same bytes as one of them
// is not stored again but points at the kept file's bytes.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "archive/archive_reader.h"
#include "pack/merged_tree.h"
#include "pack/source_tree.h"

namespace qev::pack {

class KeptContents {
public:
    // The kept files of `tree` (laid out as `order`), read through `reader`.
    KeptContents(ArchiveReader& reader, const MergedTree& tree, const std::vector<size_t>& order);

    // The archive entry holding the same bytes as `node` of `added`, or kInvalidNode. A
    // size match alone never decides: the bytes are compared.
    NodeId find(const SourceTree& added, SourceDirectories& dirs, size_t node);

private:
    bool same(NodeId kept, const SourceTree& added, SourceDirectories& dirs, size_t node);

    // Kept files compared with one added file at most, so that many files of one size cost
    // a bounded number of reads.
    static constexpr size_t kCandidates = 8;
    ArchiveReader& reader_;
    std::unordered_map<uint64_t, std::vector<NodeId>> bySize_;
    std::vector<char> mine_, theirs_;
};

}  // namespace qev::pack
