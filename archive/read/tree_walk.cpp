#include "archive/read/tree_walk.h"

#include "archive/format/names.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <vector>

namespace qev {

bool isUsableName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (char c : name) {
        if (c == '/' || c == '\0') return false;
    }
    return true;
}

namespace {

// Eight bytes at once with their ASCII capitals made small: bytes from 0x80 up are left.
uint64_t foldWord(uint64_t x) {
    constexpr uint64_t kHigh = 0x8080808080808080ull;
    constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
    uint64_t low = x & kLow7;
    uint64_t atLeastA = (low + 0x3F3F3F3F3F3F3F3Full) & kHigh;  // byte >= 'A'
    uint64_t aboveZ = (low + 0x2525252525252525ull) & kHigh;    // byte > 'Z'
    uint64_t capital = atLeastA & ~aboveZ & ~x & kHigh;
    return x | (capital >> 2);
}

uint32_t foldedHash(std::string_view name) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ name.size();
    size_t i = 0;
    for (; i + 8 <= name.size(); i += 8) {
        uint64_t word;
        std::memcpy(&word, name.data() + i, 8);
        h = (h ^ foldWord(word)) * 0xBF58476D1CE4E5B9ull;
        h ^= h >> 31;
    }
    uint64_t tail = 0;
    std::memcpy(&tail, name.data() + i, name.size() - i);
    h = (h ^ foldWord(tail)) * 0x94D049BB133111EBull;
    return uint32_t(h ^ (h >> 32));
}

}  // namespace

// At most half full, so probe runs stay short; names with the same folded hash sit in one
// run, and all of them are compared.
SiblingNames::SiblingNames(uint32_t count, SiblingTable* table) {
    if (count < 2) return;  // a lone child has no siblings
    size_t size = 8;
    while (size < 2 * size_t(count)) size *= 2;
    mask_ = size - 1;
    if (table == nullptr || table->inUse_) {
        own_.assign(size, SiblingSlot{{}, 0, 0});
        slots_ = own_.data();
        generation_ = 1;
        return;
    }
    table_ = table;
    table->inUse_ = true;
    if (table->slots_.size() < size) table->slots_.assign(size, SiblingSlot{{}, 0, 0});
    if (++table->generation_ == 0) {
        // After 2^32 directories the generations come round again: start clean.
        std::fill(table->slots_.begin(), table->slots_.end(), SiblingSlot{{}, 0, 0});
        table->generation_ = 1;
    }
    slots_ = table->slots_.data();
    generation_ = table->generation_;
}

SiblingNames::~SiblingNames() {
    if (table_ != nullptr) table_->inUse_ = false;
}

SiblingNames::Seen SiblingNames::add(std::string_view name) {
    if (slots_ == nullptr) return Seen::kNew;
    uint32_t hash = foldedHash(name);
    Seen seen = Seen::kNew;
    size_t i = hash & mask_;
    for (; slots_[i].generation == generation_; i = (i + 1) & mask_) {
        if (slots_[i].foldedHash != hash || !equalIgnoringAsciiCase(slots_[i].name, name)) continue;
        if (slots_[i].name == name) return Seen::kExactly;
        seen = Seen::kCaseOnly;
    }
    slots_[i] = SiblingSlot{name, hash, generation_};
    return seen;
}

void walkTree(const ArchiveIndex& index, NodeId start, WalkVisitor& visitor) {
    if (!index.isDirectory(start)) return;
    // One bit per entry: a directory is marked when it is queued, so it is queued once.
    std::vector<bool> queued(index.treeSize(), false);
    std::deque<NodeId> pending{start};
    queued[start] = true;
    uint64_t budget = walkBudget(index.treeSize());
    SiblingTable names;
    while (!pending.empty()) {
        NodeId directory = pending.front();
        pending.pop_front();
        visitor.enterDirectory(directory);
        uint32_t count = index.entryCount(directory);
        if (count > budget) {
            visitor.childrenLeftOut(directory);
            continue;
        }
        budget -= count;
        classifyChildren(
            index, directory,
            [&](WalkChild child) {
                if (!child.isFile && child.status == ChildStatus::kUsable) {
                    if (queued[child.node]) {
                        child.status = ChildStatus::kReachedAgain;
                    } else {
                        queued[child.node] = true;
                        pending.push_back(child.node);
                    }
                }
                visitor.child(child);
            },
            &names);
        uint64_t declared = index.declaredChildCount(directory);
        if (declared > index.entryCount(directory)) {
            visitor.childrenPastEnd(directory, declared - index.entryCount(directory));
        }
    }
}

}  // namespace qev
