#include "unpack/unpack_plan.h"

#include <stdexcept>

#include "archive/format/escape.h"
#include "archive/read/tree_walk.h"
#include "unpack/name_rules.h"

namespace qev::unpack {
namespace {

class Planner : public WalkVisitor {
public:
    Planner(const ArchiveIndex& index, Plan& plan, bool foldsCase, const WarningSink& warn, uint32_t first)
        : index_(index), plan_(plan), warn_(warn), entering_(first), rules_(foldsCase) {}

    void enterDirectory(NodeId) override {
        current_ = entering_++;
        rules_.enterDirectory();
    }

    void child(const WalkChild& c) override {
        switch (c.status) {
            case ChildStatus::kUsable:
                if (Refusal r = rules_.check(c.name); r != Refusal::kNone) return skipRefused(c, r);
                if (c.isFile) {
                    ++plan_.files;
                    plan_.bytes += index_.fileSize(c.node);
                } else {
                    plan_.dirs.push_back({c.node, current_, c.name, true});
                }
                return;
            case ChildStatus::kUnusableName:
            case ChildStatus::kDuplicateName:
                warn_("Skipped unsafe name: ", plan_, current_, c.name);
                plan_.skippedSomething = true;
                return;
            case ChildStatus::kReachedAgain:
                // Its contents are written where the walk first reached it.
                warn_("Skipped directory reached a second time: ", plan_, current_, c.name);
                return;
        }
    }

    // The walk enters a usable directory whatever its name, so it keeps its place in the
    // plan, marked to be left out.
    void skipRefused(const WalkChild& c, Refusal why) {
        warn_(why == Refusal::kCaseTwin ? "Skipped name differing from an earlier sibling's only in letter case: "
                                        : "Skipped unsafe name: ",
              plan_, current_, c.name);
        plan_.skippedSomething = true;
        if (!c.isFile) plan_.dirs.push_back({c.node, current_, c.name, false, false});
    }

    void childrenLeftOut(NodeId) override {
        warn_("Skipped the contents of a directory whose children other directories share too often: ", plan_, current_,
              std::nullopt);
        plan_.dirs[current_].withFiles = false;
        plan_.skippedSomething = true;
    }

    void childrenPastEnd(NodeId, uint64_t missing) override {
        missingText_ = "Skipped " + std::to_string(missing) + " entries past the end of the tree in: ";
        warn_(missingText_, plan_, current_, std::nullopt);
        plan_.skippedSomething = true;
    }

private:
    const ArchiveIndex& index_;
    Plan& plan_;
    const WarningSink& warn_;
    uint32_t entering_;
    uint32_t current_ = 0;
    NameRules rules_;
    std::string missingText_;
};

}  // namespace

std::string pathOf(const Plan& plan, uint32_t dir) { return walkedPath(plan.dirs, dir, escapeName); }

std::string pathOf(const Plan& plan, uint32_t dir, std::string_view name) {
    return walkedPath(plan.dirs, dir, name, escapeName);
}

Plan planTarget(const ArchiveIndex& index, const std::vector<NodeId>& chain, bool foldsCase, const WarningSink& warn) {
    // The plan keeps the names it walks: the tables are held, as an index opened whole holds them.
    const HeldTables* held = index.heldTables();
    if (held == nullptr) throw std::logic_error("a plan needs the archive's tables held");
    Plan plan;
    plan.dirs.push_back({0, kNoParent, {}, chain.empty()});
    for (NodeId node : chain) {
        std::string_view name = held->name(node);
        uint32_t parent = uint32_t(plan.dirs.size() - 1);
        // A typed "." or ".." can match a stored name that no file system can hold.
        if (!isUsableName(name) || NameRules(foldsCase).check(name) != Refusal::kNone) {
            warn("Skipped unsafe name: ", plan, parent, name);
            plan.skippedSomething = true;
            plan.dirs.resize(1);
            plan.dirs[0].withFiles = false;
            return plan;
        }
        if (index.isFile(node)) {
            plan.singleFile = node;
            plan.files = 1;
            plan.bytes = index.fileSize(node);
            return plan;
        }
        plan.dirs.push_back({node, parent, name, node == chain.back()});
    }
    Planner planner(index, plan, foldsCase, warn, uint32_t(plan.dirs.size() - 1));
    walkTree(index, plan.dirs.back().node, planner);
    return plan;
}

}  // namespace qev::unpack
