#include "unpack/plan_walk.h"

namespace qev::unpack {
namespace {

constexpr std::string_view kChanged = "the destination changed while it was being written";

}  // namespace

void walkDepthFirst(const Plan& plan, const std::function<bool(uint32_t)>& enter,
                    const std::function<void(uint32_t)>& leave) {
    // The plan lists directories breadth first, so each one's children are consecutive.
    struct Children {
        uint32_t first = 0;
        uint32_t count = 0;
    };
    std::vector<Children> children(plan.dirs.size());
    for (uint32_t d = 1; d < plan.dirs.size(); ++d) {
        Children& c = children[plan.dirs[d].parent];
        if (c.count++ == 0) c.first = d;
    }
    // An explicit stack: a chain of directories may be deeper than the call stack allows.
    std::vector<std::pair<uint32_t, uint32_t>> stack;  // directory, children visited
    if (!enter(0)) return;
    stack.emplace_back(0, 0);
    while (!stack.empty()) {
        auto [dir, visited] = stack.back();
        if (visited < children[dir].count) {
            ++stack.back().second;
            uint32_t child = children[dir].first + visited;
            if (enter(child)) stack.emplace_back(child, 0);
        } else {
            stack.pop_back();
            leave(dir);
        }
    }
}

PlanCursor::PlanCursor(const Plan& plan, SharedDir dest)
    : plan_(plan), made_(plan.dirs.size()), chain_(std::move(dest)), at_{0} {
    made_[0] = chain_.identityAt(0);
}

Expected<SharedDir, SystemError> PlanCursor::climbTo(uint32_t dir) {
    while (at_.back() != dir) {
        // Not above the current one, or the folder above was moved.
        if (at_.size() == 1 || !chain_.ascend()) return SystemError{0, std::string(kChanged)};
        at_.pop_back();
    }
    return chain_.current();
}

Expected<SharedDir, SystemError> PlanCursor::make(uint32_t dir, bool force, bool& created) {
    auto made = makeDirectory(*chain_.current(), plan_.dirs[dir].name, force, &created);
    if (!made) return made;
    moveDown(dir, *made);
    made_[dir] = chain_.identityAt(chain_.depth());
    return made;
}

Expected<SharedDir, SystemError> PlanCursor::enter(uint32_t dir) {
    auto opened = openDirectory(*chain_.current(), plan_.dirs[dir].name);
    if (!opened) return opened;
    if (identityOf(**opened) != made_[dir]) return SystemError{0, std::string(kChanged)};
    moveDown(dir, *opened);
    return opened;
}

void PlanCursor::moveDown(uint32_t dir, const SharedDir& opened) {
    chain_.descend(opened);
    at_.push_back(dir);
}

}  // namespace qev::unpack
