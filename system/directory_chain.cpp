#include "system/directory_chain.h"

namespace qev {

void DirectoryChain::descend(SharedDir dir) {
    FileIdentity identity = identityOf(*dir).value_or(FileIdentity{});
    levels_.push_back({identity, std::move(dir)});
    if (canOpenParent() && levels_.size() > kKeptOpen) levels_[levels_.size() - kKeptOpen - 1].handle.reset();
}

bool DirectoryChain::ascend() {
    if (levels_.size() < 2) return false;
    Level& above = levels_[levels_.size() - 2];
    if (!above.handle) {
        auto parent = openParent(*levels_.back().handle);
        if (!parent || identityOf(**parent) != above.identity) return false;
        above.handle = *parent;
    }
    levels_.pop_back();
    return true;
}

}  // namespace qev
