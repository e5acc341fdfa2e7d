// The data phase of packing: each file's bytes placed in the stream, identical files stored
// once, blocks compressed on every core.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <unordered_map>
#include <vector>

#include "archive/write/parallel_blocks.h"
#include "pack/source_tree.h"
#include "pack/stored_bytes.h"

namespace qev::pack {

struct StreamOptions {
    int level = 3;
    unsigned jobs = 1;
    bool dedup = true;
    // Tests: each block's index before it is stored.
    std::function<void(size_t)> beforeBlock;
    // Where this stream begins in the whole data stream (a multiple of the block size):
    // every start given is counted from the whole stream's beginning.
    uint64_t base = 0;
};

struct StreamResult {
    uint64_t savedBytes = 0;  // bytes of files stored once for several entries
};

// Where a file of `size` bytes starts when the stream is at `position`: a file that fits
// in one block never straddles a block boundary, and a larger one starts on a boundary.
uint64_t placeFile(uint64_t position, uint64_t size);

class DataStream {
public:
    // Files whose bytes `stored` holds already are not stored again; those written are
    // added to it.
    DataStream(const SourceTree& tree, SourceDirectories& dirs, const StreamOptions& options, StoredBytes& stored,
               writer::ParallelBlockWriter::Sink sink);
    // Writes the files of `layout` in NodeId order and gives each file entry the start it
    // was placed at. `progress` is called after each file, and within a large one as its
    // pieces are read, with the files done and the source bytes read. Throws PackError.
    StreamResult write(writer::TreeLayout& layout,
                       const std::function<void(uint64_t files, uint64_t bytes, uint64_t stored)>& progress);

private:
    uint64_t writeFile(size_t node);
    uint64_t startHere(uint64_t size);
    void appendWhole(size_t node);
    std::optional<uint64_t> findCopy(size_t node, uint64_t hash, std::string_view inMemory);

    const SourceTree& tree_;
    SourceDirectories& dirs_;
    const StreamOptions& options_;
    writer::ParallelBlockWriter writer_;
    std::unordered_map<uint64_t, uint32_t> sizeCounts_;  // files of each size
    StoredBytes& stored_;
    uint32_t folder_;  // this tree's number in stored_
    std::vector<char> buffer_;
    uint64_t saved_ = 0;
    // While write() runs: its progress callback, and what it has counted so far.
    const std::function<void(uint64_t, uint64_t, uint64_t)>* progress_ = nullptr;
    uint64_t filesDone_ = 0, bytesDone_ = 0;
};

}  // namespace qev::pack
