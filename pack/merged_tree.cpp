#include "pack/merged_tree.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "archive/format/names.h"
#include "archive/read/tree_walk.h"
#include "pack/pack_error.h"

namespace qev::pack {
namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

std::string foldedName(std::string_view name) {
    std::string folded(name);
    for (char& c : folded) c = foldAscii(c);
    return folded;
}

}  // namespace

MergedTree::MergedTree(const ArchiveIndex& index) {
    // Breadth first from the root; nodes_[i] mirrors the archive entry ids[i].
    std::vector<NodeId> ids = {0};
    std::vector<bool> seen(index.treeSize(), false);
    seen[0] = true;
    nodes_.emplace_back();
    SiblingTable names;
    for (size_t i = 0; i < ids.size(); ++i) {
        classifyChildren(
            index, ids[i],
            [&](const WalkChild& c) {
                // An update must never hold two entries of one name, nor lose one it cannot name.
                const char* fault = c.status == ChildStatus::kUnusableName    ? " has no usable name"
                                    : c.status == ChildStatus::kDuplicateName ? " has a sibling's name"
                                    : seen[c.node]                            ? " is reached twice"
                                                                              : nullptr;
                if (fault) {
                    throw PackError("The archive's tree cannot be updated (check it with qev-check): entry " +
                                    std::to_string(c.node) + fault);
                }
                seen[c.node] = true;
                Node node;
                node.name = c.name;
                node.isFile = c.isFile;
                node.size = index.fileSize(c.node);
                node.origin = c.node;
                node.parent = uint32_t(i);
                nodes_[i].children.push_back(uint32_t(nodes_.size()));
                nodes_.push_back(std::move(node));
                ids.push_back(c.node);
            },
            &names);
    }
}

size_t MergedTree::findChild(size_t dir, std::string_view name, size_t below) const {
    // A name matches its exact spelling where a sibling has it; otherwise the first sibling
    // equal to it ignoring letter case, as lookups match.
    size_t folded = nodes_.size();
    for (uint32_t c : nodes_[dir].children) {
        if (c >= below) continue;
        if (nodes_[c].name == name) return c;
        if (folded == nodes_.size() && equalIgnoringAsciiCase(nodes_[c].name, name)) folded = c;
    }
    return folded;
}

bool MergedTree::remove(std::string_view path) {
    size_t parent = nodes_.size(), current = 0;
    for (size_t i = 0;;) {
        while (i < path.size() && isSeparator(path[i])) ++i;
        if (i == path.size()) break;
        size_t end = size_t(std::find_if(path.begin() + i, path.end(), isSeparator) - path.begin());
        if (nodes_[current].isFile) return false;
        parent = current;
        current = findChild(current, path.substr(i, end - i), nodes_.size());
        if (current == nodes_.size()) return false;
        i = end;
    }
    if (current == 0) return false;
    // Unlinked from its parent, a subtree is never laid out.
    auto& siblings = nodes_[parent].children;
    siblings.erase(std::find(siblings.begin(), siblings.end(), uint32_t(current)));
    return true;
}

uint32_t MergedTree::graft(const SourceTree& added, uint32_t source, size_t from, size_t parent) {
    uint32_t top = uint32_t(nodes_.size());
    std::vector<std::pair<size_t, uint32_t>> pending = {{from, top}};  // source node, its copy
    nodes_.emplace_back();
    nodes_[top].parent = uint32_t(parent);
    while (!pending.empty()) {
        auto [s, m] = pending.back();
        pending.pop_back();
        Node& node = nodes_[m];
        node.name = added.name(s);
        node.isFile = added.isFile(s);
        node.size = added.isFile(s) ? added.size(s) : 0;
        node.source = source;
        node.origin = s;
        for (size_t k = 0; k < added.childCount(s); ++k) {
            uint32_t copy = uint32_t(nodes_.size());
            nodes_.emplace_back();
            nodes_[copy].parent = m;
            nodes_[m].children.push_back(copy);
            pending.push_back({added.child(s, k), copy});
        }
    }
    return top;
}

std::vector<size_t> MergedTree::matchChildren(const SourceTree& added, size_t from, size_t into, size_t below) const {
    // Exact spellings first, so that an added folder's twins each find their own; an entry
    // is met once, so a twin whose only match is taken is new. Hashed: folders may be large.
    std::unordered_map<std::string_view, uint32_t> exact;
    std::unordered_map<std::string, std::vector<uint32_t>> folded;  // each folded name's entries, in order
    for (uint32_t c : nodes_[into].children) {
        if (c >= below) continue;
        exact.emplace(nodes_[c].name, c);
        folded[foldedName(nodes_[c].name)].push_back(c);
    }
    size_t count = added.childCount(from);
    std::vector<size_t> match(count, kNoMatch);
    std::unordered_set<uint32_t> taken;
    for (size_t k = 0; k < count; ++k) {
        auto hit = exact.find(added.name(added.child(from, k)));
        if (hit != exact.end()) match[k] = hit->second, taken.insert(hit->second);
    }
    for (size_t k = 0; k < count; ++k) {
        if (match[k] != kNoMatch) continue;
        // The first twin no other name has met: an update never makes a third twin where
        // one of the folder's own is still free.
        auto hit = folded.find(foldedName(added.name(added.child(from, k))));
        if (hit == folded.end()) continue;
        for (uint32_t c : hit->second) {
            if (taken.insert(c).second) {
                match[k] = c;
                break;
            }
        }
    }
    return match;
}

void MergedTree::add(const SourceTree& added, uint32_t source, bool replace, std::vector<std::string>& conflicts) {
    struct Pair {
        size_t from;  // a folder of `added`
        size_t into;  // the merged folder it merges into
        std::string path;
    };
    // Only entries there before this folder are matched: its own entries never meet each other.
    const size_t below = nodes_.size();
    std::vector<Pair> pending = {{0, 0, ""}};
    while (!pending.empty()) {
        Pair p = std::move(pending.back());
        pending.pop_back();
        std::vector<size_t> match = matchChildren(added, p.from, p.into, below);
        for (size_t k = 0; k < match.size(); ++k) {
            size_t s = added.child(p.from, k), existing = match[k];
            std::string path = p.path.empty() ? std::string(added.name(s)) : p.path + "/" + std::string(added.name(s));
            if (existing == kNoMatch) {
                uint32_t copy = graft(added, source, s, p.into);  // grows nodes_: before indexing it
                nodes_[p.into].children.push_back(copy);
            } else if (!added.isFile(s) && !nodes_[existing].isFile) {
                pending.push_back({s, existing, std::move(path)});
            } else {
                conflicts.push_back(path);
                if (!replace) continue;
                uint32_t copy = graft(added, source, s, p.into);
                auto& siblings = nodes_[p.into].children;
                *std::find(siblings.begin(), siblings.end(), uint32_t(existing)) = copy;
            }
        }
    }
}

std::string MergedTree::pathOf(size_t node) const {
    std::vector<size_t> chain;
    for (size_t n = node; n != 0; n = nodes_[n].parent) chain.push_back(n);
    std::string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) path += (path.empty() ? "" : "/") + nodes_[*it].name;
    return path;
}

void MergedTree::sortChildren() {
    for (Node& node : nodes_) {
        std::stable_sort(node.children.begin(), node.children.end(), [&](uint32_t a, uint32_t b) {
            return std::string_view(nodes_[a].name) < std::string_view(nodes_[b].name);
        });
    }
}

}  // namespace qev::pack
