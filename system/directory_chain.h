// The folders from a starting one down to the current one, of which only the last few are
// held open where the system can climb back through ".." (on Windows every one is): a walk
// of any depth with few descriptors. Each climb is checked against the identity the folder
// had on the way down, so a folder moved meanwhile never leads the walk elsewhere.
#pragma once

#include <cstddef>
#include <vector>

#include "system/directory.h"

namespace qev {

class DirectoryChain {
public:
    explicit DirectoryChain(SharedDir top) { descend(std::move(top)); }

    const SharedDir& current() const { return levels_.back().handle; }
    // Levels below the top one.
    size_t depth() const { return levels_.size() - 1; }
    // The identity `dir` had when it was entered at this level.
    const FileIdentity& identityAt(size_t depth) const { return levels_[depth].identity; }

    // Moves down into `dir`, opened from current().
    void descend(SharedDir dir);
    // Moves up one level; false when the folder above is no longer the one walked down from,
    // or cannot be opened.
    bool ascend();

private:
    static constexpr size_t kKeptOpen = 8;
    struct Level {
        FileIdentity identity;
        SharedDir handle;  // null once let go
    };
    std::vector<Level> levels_;
};

}  // namespace qev
