#include "pack/data_stream.h"

#include <cstring>
#include <optional>

#include "archive/format/format.h"
#include "pack/source_file.h"

namespace qev::pack {
namespace {

// Files up to this size are read once into memory when they may be copies: the hash and
// the bytes to store come from one read.
constexpr size_t kInMemory = size_t(1) << 20;
constexpr size_t kChunk = size_t(1) << 20;

}  // namespace

uint64_t placeFile(uint64_t position, uint64_t size) {
    uint64_t within = position % kBlockSize;
    if (within == 0 || size == 0) return position;
    if (size <= kBlockSize && within + size <= kBlockSize) return position;
    return position - within + kBlockSize;
}

DataStream::DataStream(const SourceTree& tree, SourceDirectories& dirs, const StreamOptions& options,
                       StoredBytes& stored, writer::ParallelBlockWriter::Sink sink)
    : tree_(tree),
      dirs_(dirs),
      options_(options),
      writer_(options.level, options.jobs, std::move(sink), options.beforeBlock),
      stored_(stored),
      folder_(stored.addFolder(tree, dirs)),
      buffer_(kChunk) {
    if (!options.dedup) return;
    for (size_t n = 0; n < tree.nodeCount(); ++n) {
        if (tree.isFile(n) && tree.size(n) > 0) ++sizeCounts_[tree.size(n)];
    }
}

StreamResult DataStream::write(writer::TreeLayout& layout,
                               const std::function<void(uint64_t, uint64_t, uint64_t)>& progress) {
    StreamResult result;
    progress_ = &progress;
    filesDone_ = bytesDone_ = 0;
    for (size_t id = 0; id < layout.order.size(); ++id) {
        size_t node = layout.order[id];
        if (!tree_.isFile(node)) continue;
        TreeEntry& entry = layout.entries[id];
        entry = writer::fileEntry(entry.nameOffset(), writeFile(node), tree_.size(node));
        bytesDone_ += tree_.size(node);
        progress(++filesDone_, bytesDone_, writer_.storedBytes());
    }
    progress_ = nullptr;
    writer_.finish();
    result.savedBytes = saved_;
    return result;
}

uint64_t DataStream::startHere(uint64_t size) {
    uint64_t start = options_.base + placeFile(writer_.position(), size);
    if (start > writer::kMaxStreamSize || size > writer::kMaxStreamSize - start) {
        throw std::length_error("data too large");
    }
    if (start != options_.base + writer_.position()) writer_.padToBoundary();
    return start;
}

uint64_t DataStream::writeFile(size_t node) {
    uint64_t size = tree_.size(node);
    if (size == 0) return 0;  // an empty file reads no block, wherever it starts
    // Only a file that shares its size with another is hashed and looked for.
    bool mayBeCopy = options_.dedup && (sizeCounts_[size] > 1 || stored_.holdsSize(size));
    if (mayBeCopy && size <= kInMemory) {
        SourceFile file(tree_, dirs_, node);
        size_t got = file.read(buffer_.data(), size_t(size));
        file.finish();
        std::string_view bytes(buffer_.data(), got);
        ContentHash hash;
        hash.update(bytes);
        if (std::optional<uint64_t> copy = findCopy(node, hash.value(), bytes)) return *copy;
        uint64_t start = startHere(size);
        stored_.addWritten(folder_, node, size, hash.value(), start);
        writer_.append(bytes);
        return start;
    }
    std::optional<uint64_t> hash;
    if (mayBeCopy) {
        hash = hashSourceFile(tree_, dirs_, node, buffer_);
        if (std::optional<uint64_t> copy = findCopy(node, *hash, {})) return *copy;
    }
    uint64_t start = startHere(size);
    if (options_.dedup) stored_.addWritten(folder_, node, size, hash, start);
    appendWhole(node);
    return start;
}

void DataStream::appendWhole(size_t node) {
    SourceFile file(tree_, dirs_, node);
    uint64_t read = 0;
    for (;;) {
        size_t got = file.read(buffer_.data(), buffer_.size());
        if (got == 0) break;
        writer_.append(std::string_view(buffer_.data(), got));
        // A large file moves the line as its pieces go in, not only once it is done.
        read += got;
        if (progress_ != nullptr) (*progress_)(filesDone_, bytesDone_ + read, writer_.storedBytes());
    }
    file.finish();
}

// An earlier stored file with the same bytes, wherever it came from.
std::optional<uint64_t> DataStream::findCopy(size_t node, uint64_t hash, std::string_view inMemory) {
    std::optional<uint64_t> copy = stored_.find(folder_, node, tree_.size(node), hash, inMemory);
    if (copy) saved_ += tree_.size(node);
    return copy;
}

}  // namespace qev::pack
