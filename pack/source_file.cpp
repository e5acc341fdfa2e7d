#include "pack/source_file.h"

#include <algorithm>
#include <cstring>

#include "system/stop_signals.h"
#include "system/text.h"

namespace qev::pack {

void stopIfAsked() {
    if (StopSignals::caught()) throw PackError("Interrupted");
}

namespace {

std::string cannotRead(const std::filesystem::path& path) {
    return "Cannot read " + utf8FromPath(path) + ": " + lastSystemError();
}

}  // namespace

SourceFile::SourceFile(const SourceTree& tree, SourceDirectories& dirs, size_t node)
    : tree_(tree),
      node_(node),
      input_(openFileIn(*dirs.open(tree.parent(node)), tree.name(node))),
      size_(tree.size(node)) {
    if (!input_) throw PackError(cannotRead(tree.pathOf(node)));
    const FileStamp& listed = tree.stamp(node);
    size_t size = size_;
    auto now = input_->status();
    unchangedOrThrow(now && now->kind == FileKind::kFile && now->size == size &&
                     listed.admits({now->modified, now->changed}));
    opened_ = {now->modified, now->changed};
}

SourceFile::~SourceFile() = default;

void SourceFile::unchangedOrThrow(bool same) const {
    if (!same) throw PackError("File changed while packing: " + utf8FromPath(tree_.pathOf(node_)));
}

size_t SourceFile::read(char* into, size_t capacity) {
    stopIfAsked();
    size_t got = 0;
    while (got < capacity) {
        std::optional<size_t> n = input_->readSome(into + got, capacity - got);
        if (!n) throw PackError(cannotRead(tree_.pathOf(node_)));
        if (*n == 0) break;
        got += *n;
    }
    read_ += got;
    unchangedOrThrow(read_ <= size_);  // more bytes than listed: it grew
    return got;
}

void SourceFile::finish() {
    auto now = input_->status();
    unchangedOrThrow(read_ == size_ && now && now->size == size_ && FileStamp{now->modified, now->changed} == opened_);
}

void ContentHash::update(std::string_view bytes) {
    length_ += bytes.size();
    auto mix = [this](uint64_t word) {
        state_ = (state_ ^ word) * 0xBF58476D1CE4E5B9ull;
        state_ ^= state_ >> 29;
    };
    while (!bytes.empty() && !pending_.empty()) {
        pending_ += bytes[0];
        bytes.remove_prefix(1);
        if (pending_.size() == 8) {
            uint64_t w;
            std::memcpy(&w, pending_.data(), 8);
            mix(w);
            pending_.clear();
        }
    }
    for (; bytes.size() >= 8; bytes.remove_prefix(8)) {
        uint64_t w;
        std::memcpy(&w, bytes.data(), 8);
        mix(w);
    }
    pending_.append(bytes);
}

uint64_t ContentHash::value() const {
    uint64_t tail = 0;
    std::memcpy(&tail, pending_.data(), pending_.size());
    uint64_t h = (state_ ^ tail ^ length_) * 0x94D049BB133111EBull;
    return h ^ (h >> 31);
}

uint64_t hashSourceFile(const SourceTree& tree, SourceDirectories& dirs, size_t node, std::vector<char>& buffer) {
    SourceFile file(tree, dirs, node);
    ContentHash hash;
    for (size_t got; (got = file.read(buffer.data(), buffer.size())) > 0;)
        hash.update(std::string_view(buffer.data(), got));
    file.finish();
    return hash.value();
}

uint64_t hashArchiveFile(ArchiveReader& reader, NodeId entry, uint64_t size, std::vector<char>& buffer) {
    ContentHash hash;
    for (uint64_t at = 0; at < size;) {
        uint64_t n = std::min<uint64_t>(buffer.size(), size - at);
        if (reader.readFile(entry, at, n, reinterpret_cast<uint8_t*>(buffer.data())) != n) break;
        hash.update(std::string_view(buffer.data(), size_t(n)));
        at += n;
    }
    return hash.value();
}

}  // namespace qev::pack
