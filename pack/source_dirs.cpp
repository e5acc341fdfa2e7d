#include "pack/source_dirs.h"

#include <vector>

#include "pack/source_tree.h"
#include "system/text.h"

namespace qev::pack {

SharedDir SourceDirectories::open(size_t dir) {
    if (dir == 0) return root_;
    if (auto found = byNode_.find(dir); found != byNode_.end()) {
        recent_.splice(recent_.begin(), recent_, found->second);
        return found->second->second;
    }
    // Up to the nearest directory still open, then down by names.
    std::vector<size_t> below;
    SharedDir at = root_;
    for (size_t d = dir; d != 0; d = tree_.parent(d)) {
        if (auto found = byNode_.find(d); found != byNode_.end()) {
            at = found->second->second;
            break;
        }
        below.push_back(d);
    }
    for (auto it = below.rbegin(); it != below.rend(); ++it) {
        auto next = openDirectory(*at, tree_.name(*it));
        if (!next) throw PackError("Cannot read " + utf8FromPath(tree_.pathOf(*it)) + ": " + next.error().text());
        at = *next;
        remember(*it, at);
    }
    return at;
}

void SourceDirectories::remember(size_t dir, const SharedDir& handle) {
    recent_.emplace_front(dir, handle);
    byNode_[dir] = recent_.begin();
    if (recent_.size() > kKept) {
        byNode_.erase(recent_.back().first);
        recent_.pop_back();
    }
}

}  // namespace qev::pack
