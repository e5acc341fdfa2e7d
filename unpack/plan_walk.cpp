#include "unpack/plan_walk.h"

namespace qev::unpack {
namespace {

constexpr size_t kKeptOpen = 8;
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

PlanCursor::PlanCursor(const Plan& plan, SharedDir dest) : plan_(plan), made_(plan.dirs.size()) {
    made_[0] = identityOf(*dest).value_or(FileIdentity{});
    path_.emplace_back(0, std::move(dest));
}

Expected<SharedDir, SystemError> PlanCursor::climbTo(uint32_t dir) {
    while (path_.back().first != dir) {
        if (path_.size() == 1) return SystemError{0, std::string(kChanged)};  // not above the current one
        uint32_t up = plan_.dirs[path_.back().first].parent;
        if (path_[path_.size() - 2].first == up) {
            path_.pop_back();
            continue;
        }
        // The directory above was let go: climb through "..", and make sure it is the one made.
        auto parent = openParent(*path_.back().second);
        if (!parent) return parent.error();
        if (identityOf(**parent) != made_[up]) return SystemError{0, std::string(kChanged)};
        path_.back() = {up, *parent};
    }
    return path_.back().second;
}

Expected<SharedDir, SystemError> PlanCursor::make(uint32_t dir, bool force, bool& created) {
    auto made = makeDirectory(*path_.back().second, plan_.dirs[dir].name, force, &created);
    if (made) made_[dir] = identityOf(**made).value_or(FileIdentity{});
    return moveDown(dir, std::move(made));
}

Expected<SharedDir, SystemError> PlanCursor::enter(uint32_t dir) {
    auto opened = openDirectory(*path_.back().second, plan_.dirs[dir].name);
    if (opened && identityOf(**opened) != made_[dir]) return SystemError{0, std::string(kChanged)};
    return moveDown(dir, std::move(opened));
}

Expected<SharedDir, SystemError> PlanCursor::moveDown(uint32_t dir, Expected<SharedDir, SystemError> opened) {
    if (!opened) return opened;
    path_.emplace_back(dir, *opened);
    // Keep the destination, and the last few on the way down.
    if (canOpenParent() && path_.size() > kKeptOpen) path_.erase(path_.begin() + 1);
    return opened;
}

}  // namespace qev::unpack
