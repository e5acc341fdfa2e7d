// Kept files of an update's old archive that hold the same bytes, found as packing finds
// copies (a size shared with another file, then the content hash, then the bytes), so
// that kept files written anew are stored once each, as packing the tree would store them,
// whether or not the old archive stored them apart.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "archive/read/archive_reader.h"

namespace qev::pack {

class KeptCopies {
public:
    explicit KeptCopies(ArchiveReader& reader) : reader_(reader) {}

    // Every kept file's size, before any is looked for: only a shared size is hashed.
    void count(uint64_t size) { ++sizes_[size]; }
    // Where a kept file written before holds the same bytes as `entry`, if one does. A file
    // that cannot be read whole is no copy: writing it reports its damage.
    std::optional<uint64_t> find(NodeId entry, uint64_t size);
    // `entry`, just looked for and not found, is written at `start`.
    void written(NodeId entry, uint64_t start);

private:
    struct Written {
        NodeId entry;
        uint64_t start;
    };
    bool sameBytes(NodeId a, NodeId b, uint64_t size);

    ArchiveReader& reader_;
    std::unordered_map<uint64_t, uint32_t> sizes_;
    std::unordered_map<uint64_t, std::vector<Written>> byKey_;  // size and hash mixed
    std::optional<uint64_t> lastKey_;                           // of the entry last looked for
    std::vector<char> mine_, theirs_;
};

}  // namespace qev::pack
