#include "archive/tree_walk.h"

#include <deque>
#include <vector>

namespace qev {

bool isUsableName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

namespace {

char foldAscii(char c) { return c >= 'A' && c <= 'Z' ? char(c + ('a' - 'A')) : c; }

uint32_t foldedHash(std::string_view name) {
    uint32_t h = 2166136261u;  // FNV-1a over the folded bytes
    for (char c : name) h = (h ^ static_cast<unsigned char>(foldAscii(c))) * 16777619u;
    return h;
}

bool foldedEqual(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (foldAscii(a[i]) != foldAscii(b[i])) return false;
    }
    return true;
}

size_t tableSizeFor(uint32_t count) {
    size_t size = 8;
    while (size < 2 * size_t(count)) size *= 2;
    return size;
}

}  // namespace

// At most half full, so probe runs stay short; names with the same folded hash sit in one
// run, and all of them are compared.
SiblingNames::SiblingNames(uint32_t count)
    : slots_(count > 1 ? tableSizeFor(count) : 0), mask_(slots_.empty() ? 0 : slots_.size() - 1) {}

SiblingNames::Seen SiblingNames::add(std::string_view name) {
    if (slots_.empty()) return Seen::kNew;  // a lone child has no siblings
    uint32_t hash = foldedHash(name);
    Seen seen = Seen::kNew;
    size_t i = hash & mask_;
    for (; slots_[i].used; i = (i + 1) & mask_) {
        if (slots_[i].foldedHash != hash || !foldedEqual(slots_[i].name, name)) continue;
        if (slots_[i].name == name) return Seen::kExactly;
        seen = Seen::kCaseOnly;
    }
    slots_[i] = Slot{name, hash, true};
    return seen;
}

void walkTree(const ArchiveIndex& index, NodeId start, WalkVisitor& visitor) {
    if (!index.isDirectory(start)) return;
    // One bit per entry: a directory is marked when it is queued, so it is queued once.
    std::vector<bool> queued(index.treeSize(), false);
    std::deque<NodeId> pending{start};
    queued[start] = true;
    while (!pending.empty()) {
        NodeId directory = pending.front();
        pending.pop_front();
        visitor.enterDirectory(directory);
        classifyChildren(index, directory, [&](WalkChild child) {
            if (!child.isFile && child.status == ChildStatus::kUsable) {
                if (queued[child.node]) {
                    child.status = ChildStatus::kReachedAgain;
                } else {
                    queued[child.node] = true;
                    pending.push_back(child.node);
                }
            }
            visitor.child(child);
        });
        uint64_t declared = index.declaredChildCount(directory);
        if (declared > index.entryCount(directory)) {
            visitor.childrenPastEnd(directory, declared - index.entryCount(directory));
        }
    }
}

}  // namespace qev
