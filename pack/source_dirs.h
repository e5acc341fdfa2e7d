// The source tree's directories, opened on demand through their parents (never by a path
// string, so that a tree deeper than any path the system takes is read whole) and kept in
// a small cache: reading in the archive's order mostly wants a directory just used, or a
// child of one.
#pragma once

#include <cstddef>
#include <list>
#include <string>
#include <unordered_map>
#include <utility>

#include "system/directory.h"

namespace qev::pack {

class SourceTree;

class SourceDirectories {
public:
    // `root` is the opened source folder, node 0 of `tree`.
    SourceDirectories(const SourceTree& tree, SharedDir root) : tree_(tree), root_(std::move(root)) {}

    // The directory node `dir`; throws PackError ("Cannot read PATH: REASON").
    SharedDir open(size_t dir);

private:
    void remember(size_t dir, const SharedDir& handle);

    static constexpr size_t kKept = 32;
    const SourceTree& tree_;
    SharedDir root_;
    std::list<std::pair<size_t, SharedDir>> recent_;  // most recently used first
    std::unordered_map<size_t, std::list<std::pair<size_t, SharedDir>>::iterator> byNode_;
};

}  // namespace qev::pack
