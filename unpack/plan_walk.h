// Walking the planned directories depth first, with one open directory at a time (a few on
// Windows): down by name, up through the parent entry, each step checked against the
// identity the directory had when it was made. Every directory costs a few steps, whatever
// the depth, and descriptors stay few however deep or wide the tree.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "system/directory.h"
#include "system/directory_chain.h"
#include "unpack/unpack_plan.h"

namespace qev::unpack {

// Visits dirs[0] and every planned directory below it, parents before children: `enter(d)`
// returns whether to go below d; `leave(d)` follows once everything below d was visited.
void walkDepthFirst(const Plan& plan, const std::function<bool(uint32_t dir)>& enter,
                    const std::function<void(uint32_t dir)>& leave);

class PlanCursor {
public:
    // Starts at the destination, which stands for dirs[0].
    PlanCursor(const Plan& plan, SharedDir dest);

    // Climbs from the current directory to `dir`, the current one or one above it.
    Expected<SharedDir, SystemError> climbTo(uint32_t dir);
    // Makes `dir`, a child of the current directory, and moves into it; `created` tells
    // whether it was made now or was there already.
    Expected<SharedDir, SystemError> make(uint32_t dir, bool force, bool& created);
    // Moves into `dir`, a child of the current directory made earlier by make().
    Expected<SharedDir, SystemError> enter(uint32_t dir);
    // What `dir` was when it was made.
    const FileIdentity& made(uint32_t dir) const { return made_[dir]; }

private:
    void moveDown(uint32_t dir, const SharedDir& opened);

    const Plan& plan_;
    std::vector<FileIdentity> made_;  // what each directory was when made
    DirectoryChain chain_;            // from the destination down to the current directory
    std::vector<uint32_t> at_;        // the plan's directory at each level of the chain
};

}  // namespace qev::unpack
