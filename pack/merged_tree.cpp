#include "pack/merged_tree.h"

#include <algorithm>
#include <utility>

#include "archive/names.h"
#include "pack/pack_error.h"

namespace qev::pack {
namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

}  // namespace

MergedTree::MergedTree(const ArchiveIndex& index) {
    // Breadth first from the root; nodes_[i] mirrors the archive entry ids[i].
    std::vector<NodeId> ids = {0};
    std::vector<bool> seen(index.treeSize(), false);
    seen[0] = true;
    nodes_.emplace_back();
    for (size_t i = 0; i < ids.size(); ++i) {
        uint32_t count = index.entryCount(ids[i]);
        for (uint32_t k = 0; k < count; ++k) {
            NodeId child = index.childAt(ids[i], k);
            std::string_view name = index.entryName(child);
            if (name.empty() || seen[child]) {
                throw PackError("The archive's tree cannot be updated (check it with qev-check): entry " +
                                std::to_string(child) + (name.empty() ? " has no usable name" : " is reached twice"));
            }
            seen[child] = true;
            Node node;
            node.name = name;
            node.isFile = index.isFile(child);
            node.size = index.fileSize(child);
            node.origin = child;
            nodes_[i].children.push_back(uint32_t(nodes_.size()));
            nodes_.push_back(std::move(node));
            ids.push_back(child);
        }
    }
}

size_t MergedTree::findChild(size_t dir, std::string_view name) const {
    // The first match wins, as in lookups.
    for (uint32_t c : nodes_[dir].children) {
        if (equalIgnoringAsciiCase(nodes_[c].name, name)) return c;
    }
    return nodes_.size();
}

bool MergedTree::remove(std::string_view path) {
    size_t parent = nodes_.size(), current = 0;
    for (size_t i = 0;;) {
        while (i < path.size() && isSeparator(path[i])) ++i;
        if (i == path.size()) break;
        size_t end = size_t(std::find_if(path.begin() + i, path.end(), isSeparator) - path.begin());
        if (nodes_[current].isFile) return false;
        parent = current;
        current = findChild(current, path.substr(i, end - i));
        if (current == nodes_.size()) return false;
        i = end;
    }
    if (current == 0) return false;
    // Unlinked from its parent, a subtree is never laid out.
    auto& siblings = nodes_[parent].children;
    siblings.erase(std::find(siblings.begin(), siblings.end(), uint32_t(current)));
    return true;
}

uint32_t MergedTree::graft(const SourceTree& added, uint32_t source, size_t from) {
    uint32_t top = uint32_t(nodes_.size());
    std::vector<std::pair<size_t, uint32_t>> pending = {{from, top}};  // source node, its copy
    nodes_.emplace_back();
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
            nodes_[m].children.push_back(copy);
            pending.push_back({added.child(s, k), copy});
        }
    }
    return top;
}

void MergedTree::add(const SourceTree& added, uint32_t source, bool replace, std::vector<std::string>& conflicts) {
    struct Pair {
        size_t from;  // a folder of `added`
        size_t into;  // the merged folder it merges into
        std::string path;
    };
    std::vector<Pair> pending = {{0, 0, ""}};
    while (!pending.empty()) {
        Pair p = std::move(pending.back());
        pending.pop_back();
        for (size_t k = 0; k < added.childCount(p.from); ++k) {
            size_t s = added.child(p.from, k);
            std::string path = p.path.empty() ? std::string(added.name(s)) : p.path + "/" + std::string(added.name(s));
            size_t existing = findChild(p.into, added.name(s));
            if (existing == nodes_.size()) {
                uint32_t copy = graft(added, source, s);
                nodes_[p.into].children.push_back(copy);
            } else if (!added.isFile(s) && !nodes_[existing].isFile) {
                pending.push_back({s, existing, std::move(path)});
            } else {
                conflicts.push_back(path);
                if (!replace) continue;
                uint32_t copy = graft(added, source, s);
                auto& siblings = nodes_[p.into].children;
                *std::find(siblings.begin(), siblings.end(), uint32_t(existing)) = copy;
            }
        }
    }
}

void MergedTree::sortChildren() {
    for (Node& node : nodes_) {
        std::stable_sort(node.children.begin(), node.children.end(), [&](uint32_t a, uint32_t b) {
            return std::string_view(nodes_[a].name) < std::string_view(nodes_[b].name);
        });
    }
}

}  // namespace qev::pack
