#include "mount/directory_index.h"

#include <algorithm>
#include <string>

#include "archive/format/block_hash.h"
#include "archive/format/names.h"
#include "archive/read/tree_walk.h"

namespace qev::mount {
namespace {

uint32_t nameHash(std::string_view name) { return uint32_t(hashBytes(name)); }

uint32_t foldedHash(std::string_view name) { return nameHash(foldedAscii(name)); }

uint64_t keyOf(uint32_t hash, uint32_t position) { return uint64_t(hash) << 32 | position; }

}  // namespace

// Keeps, of keys (hash << 32 | position, sorted) whose names are equal, the one of the
// lowest position, and gives the positions of the others to `repeats`. Each run of one hash
// is sorted by name, so any number of equal names costs one sort, never a comparison of
// each with each.
void keepFirstOfEachName(std::vector<uint64_t>& keys, const std::vector<std::string>& names,
                         std::vector<uint32_t>& repeats) {
    auto byName = [&](uint64_t a, uint64_t b) {
        const std::string &x = names[uint32_t(a)], &y = names[uint32_t(b)];
        return x != y ? x < y : a < b;
    };
    std::vector<uint64_t> kept;
    for (size_t run = 0; run < keys.size();) {
        size_t end = run + 1;
        while (end < keys.size() && keys[end] >> 32 == keys[run] >> 32) ++end;
        std::sort(keys.begin() + run, keys.begin() + end, byName);
        size_t first = kept.size();
        for (size_t i = run; i < end; ++i) {
            bool repeat = i > run && names[uint32_t(keys[i])] == names[uint32_t(keys[i - 1])];
            if (repeat) {
                repeats.push_back(uint32_t(keys[i]));
            } else {
                kept.push_back(keys[i]);
            }
        }
        std::sort(kept.begin() + first, kept.end());
        run = end;
    }
    keys = std::move(kept);
    std::sort(repeats.begin(), repeats.end());
}

std::optional<DirectoryIndex> buildDirectoryIndex(const ArchiveIndex& index, NodeId directory, bool folded) {
    DirectoryIndex dir;
    uint32_t count = index.entryCount(directory);
    if (count == 0) return dir;
    dir.first = index.childAt(directory, 0);
    // The names are held while the index is built, then let go.
    std::vector<std::string> names(count);
    std::vector<bool> usable(count);
    std::string scratch;
    for (uint32_t i = 0; i < count; ++i) {
        std::optional<std::string_view> name = index.nameOf(dir.first + i, scratch);
        if (!name) return std::nullopt;
        names[i] = *name;
        usable[i] = isUsableName(names[i]);
        if (usable[i]) dir.exact.push_back(keyOf(nameHash(names[i]), i));
    }
    // Of names spelled alike, the first in stored order is shown; later ones are reached by
    // no name, as in every listing of the archive.
    std::sort(dir.exact.begin(), dir.exact.end());
    std::vector<uint32_t> repeats;
    keepFirstOfEachName(dir.exact, names, repeats);
    dir.shown.reserve(dir.exact.size());
    for (uint32_t i = 0; i < count; ++i) {
        if (usable[i] && !std::binary_search(repeats.begin(), repeats.end(), i)) dir.shown.push_back(i);
    }
    if (folded) {
        for (uint32_t p : dir.shown) {
            names[p] = foldedAscii(names[p]);
            dir.folded.push_back(keyOf(nameHash(names[p]), p));
        }
        std::sort(dir.folded.begin(), dir.folded.end());
        std::vector<uint32_t> twins;
        keepFirstOfEachName(dir.folded, names, twins);
    }
    return dir;
}

namespace {

// The first child, in stored order, among those of `keys` whose name has `hash` and
// matches.
template <typename Match>
Found findAmong(const ArchiveIndex& index, const DirectoryIndex& dir, const std::vector<uint64_t>& keys, uint32_t hash,
                Match matches, NodeId& child) {
    std::string scratch;
    // Within one hash, keys run in stored order, so the first that matches is the first.
    for (auto k = std::lower_bound(keys.begin(), keys.end(), keyOf(hash, 0)); k != keys.end() && *k >> 32 == hash;
         ++k) {
        NodeId node = dir.first + uint32_t(*k);
        std::optional<std::string_view> stored = index.nameOf(node, scratch);
        if (!stored) return Found::kUnreadable;
        if (matches(*stored)) {
            child = node;
            return Found::kYes;
        }
    }
    return Found::kNo;
}

}  // namespace

Found findChild(const ArchiveIndex& index, const DirectoryIndex& dir, std::string_view name, bool ignoreCase,
                NodeId& child) {
    // The exact spelling first, even when case is ignored: a twin listed beside it must open
    // itself, not the first of its folded name.
    Found exact = findAmong(
        index, dir, dir.exact, nameHash(name), [&](std::string_view s) { return s == name; }, child);
    if (exact != Found::kNo || !ignoreCase) return exact;
    return findAmong(
        index, dir, dir.folded, foldedHash(name), [&](std::string_view s) { return equalIgnoringAsciiCase(s, name); },
        child);
}

std::shared_ptr<const DirectoryIndex> DirectoryCache::find(uint64_t key) {
    std::lock_guard<std::mutex> lock(lock_);
    auto at = where_.find(key);
    if (at == where_.end()) return nullptr;
    order_.splice(order_.begin(), order_, at->second);
    return at->second->second;
}

void DirectoryCache::keep(uint64_t key, std::shared_ptr<const DirectoryIndex> index) {
    std::lock_guard<std::mutex> lock(lock_);
    if (where_.contains(key)) return;
    used_ += index->bytes();
    order_.emplace_front(key, std::move(index));
    where_[key] = order_.begin();
    while (used_ > budget_ && order_.size() > 1) {
        used_ -= order_.back().second->bytes();
        where_.erase(order_.back().first);
        order_.pop_back();
    }
}

}  // namespace qev::mount
