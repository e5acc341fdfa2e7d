// What an update's new stream already holds, by size: the kept files, and the files of
// the added folders written so far. An added file with the same bytes as one of them is
// not stored again but points at those bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <unordered_map>
#include <vector>

#include "archive/archive_reader.h"
#include "pack/merged_tree.h"
#include "pack/source_tree.h"

namespace qev::pack {

class StoredContents {
public:
    // The kept files of `tree` (laid out as `order`), read through `reader`; `newStart`
    // gives where a kept entry's bytes start in the new stream.
    StoredContents(ArchiveReader& reader, const MergedTree& tree, const std::vector<size_t>& order,
                   const std::function<uint64_t(NodeId)>& newStart);

    // A file of an added folder, stored at `start` of the new stream.
    void addWritten(const SourceTree& tree, SourceDirectories& dirs, size_t node, uint64_t start);

    // Where the new stream holds the bytes of `node` of `added` already, if it does. A
    // size match alone never decides: the bytes are compared.
    std::optional<uint64_t> find(const SourceTree& added, SourceDirectories& dirs, size_t node);

private:
    struct Stored {
        uint64_t start;            // in the new stream
        NodeId kept;               // the archive's entry, or kInvalidNode for an added file
        const SourceTree* tree;    // an added file's folder
        SourceDirectories* dirs;
        size_t node;
    };
    void remember(uint64_t size, const Stored& stored);
    bool same(const Stored& stored, const SourceTree& added, SourceDirectories& dirs, size_t node);

    // Files compared with one added file at most, so that many files of one size cost a
    // bounded number of reads.
    static constexpr size_t kCandidates = 8;
    ArchiveReader& reader_;
    std::unordered_map<uint64_t, std::vector<Stored>> bySize_;
    std::vector<char> mine_, theirs_;
};

}  // namespace qev::pack
