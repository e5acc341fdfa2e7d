#include "pack/stored_bytes.h"

#include <cstring>

#include "pack/source_file.h"

namespace qev::pack {
namespace {

constexpr size_t kPiece = size_t(1) << 20;

}  // namespace

StoredBytes::StoredBytes(ArchiveReader* kept, std::function<uint64_t(uint64_t)> hashHook)
    : kept_(kept), hashHook_(std::move(hashHook)), mine_(kPiece), theirs_(kPiece) {}

uint32_t StoredBytes::addFolder(const SourceTree& tree, SourceDirectories& dirs) {
    folders_.push_back({&tree, &dirs});
    return uint32_t(folders_.size() - 1);
}

void StoredBytes::addKept(NodeId entry, uint64_t size, uint64_t start) {
    if (size == 0) return;
    ++sizes_[size];
    std::vector<Entry>& waiting = pending_[size];
    if (waiting.size() < kPendingPerSize) waiting.push_back({size, start, entry, kKept});
}

void StoredBytes::addWritten(uint32_t folder, size_t node, uint64_t size, std::optional<uint64_t> hash,
                             uint64_t start) {
    if (size == 0) return;
    if (hash) {
        add({contentKey(size, keyHash(*hash)), start, node, folder});
    } else if (kept_ != nullptr) {
        // A later folder may hold its copy: kept until a file of its size is looked for.
        std::vector<Entry>& waiting = pending_[size];
        if (waiting.size() < kPendingPerSize) waiting.push_back({size, start, node, folder});
    }
    if (kept_ != nullptr) ++sizes_[size];
}

void StoredBytes::add(const Entry& entry) {
    // At most half full, so probe runs stay short.
    if (2 * (entries_.size() + 1) > slots_.size()) grow();
    entries_.push_back(entry);
    size_t i = entry.key & mask();
    while (slots_[i] != 0) i = (i + 1) & mask();
    slots_[i] = uint32_t(entries_.size());
}

void StoredBytes::grow() {
    slots_.assign(slots_.empty() ? 64 : 2 * slots_.size(), 0);
    for (size_t e = 0; e < entries_.size(); ++e) {
        size_t i = entries_[e].key & mask();
        while (slots_[i] != 0) i = (i + 1) & mask();
        slots_[i] = uint32_t(e + 1);
    }
}

void StoredBytes::hashPending(uint64_t size) {
    auto waiting = pending_.find(size);
    if (waiting == pending_.end()) return;
    std::vector<Entry> entries = std::move(waiting->second);
    pending_.erase(waiting);
    for (Entry& e : entries) {
        e.key = contentKey(size, keyHash(hashOf(e.folder, e.node, size)));
        add(e);
    }
}

uint64_t StoredBytes::hashOf(uint32_t folder, uint64_t node, uint64_t size) {
    if (folder != kKept) return hashSourceFile(*folders_[folder].tree, *folders_[folder].dirs, size_t(node), theirs_);
    return hashArchiveFile(*kept_, NodeId(node), size, theirs_);
}

std::optional<uint64_t> StoredBytes::find(uint32_t folder, size_t node, uint64_t size, uint64_t hash,
                                          std::string_view inMemory) {
    hashPending(size);
    if (slots_.empty()) return std::nullopt;
    uint64_t key = contentKey(size, keyHash(hash));
    for (size_t i = key & mask(); slots_[i] != 0; i = (i + 1) & mask()) {
        const Entry& e = entries_[slots_[i] - 1];
        if (e.key == key && same(e, folder, node, size, inMemory)) return e.start;
    }
    return std::nullopt;
}

bool StoredBytes::same(const Entry& stored, uint32_t folder, size_t node, uint64_t size, std::string_view inMemory) {
    const Folder& mineFrom = folders_[folder];
    if (stored.folder != kKept && folders_[stored.folder].tree->size(size_t(stored.node)) != size) return false;
    std::optional<SourceFile> mine;
    if (inMemory.empty()) mine.emplace(*mineFrom.tree, *mineFrom.dirs, node);
    std::optional<SourceFile> theirs;
    if (stored.folder != kKept)
        theirs.emplace(*folders_[stored.folder].tree, *folders_[stored.folder].dirs, size_t(stored.node));
    for (uint64_t at = 0; at < size;) {
        size_t want = size_t(std::min<uint64_t>(kPiece, size - at));
        const char* ours = inMemory.data() + at;
        if (mine) {
            if (mine->read(mine_.data(), want) != want) return false;
            ours = mine_.data();
        }
        bool read =
            theirs ? theirs->read(theirs_.data(), want) == want
                   : kept_->readFile(NodeId(stored.node), at, want, reinterpret_cast<uint8_t*>(theirs_.data())) == want;
        if (!read || std::memcmp(ours, theirs_.data(), want) != 0) return false;
        at += want;
    }
    // The stored bytes are what each file held when it was read: neither may have changed.
    if (mine) mine->finish();
    if (theirs) theirs->finish();
    return true;
}

}  // namespace qev::pack
