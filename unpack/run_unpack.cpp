#include "unpack/run_unpack.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>

#include "archive/tree_walk.h"
#include "system/text.h"
#include "console/progress.h"
#include "system/stop_signals.h"
#include "unpack/destination.h"
#include "unpack/file_engine.h"
#include "unpack/name_rules.h"
#include "unpack/options.h"
#include "unpack/unpack_plan.h"

namespace qev::unpack {
namespace {

const std::atomic<int>& gStop = StopSignals::caught();

constexpr uint64_t kWarningsShown = 100;

class Unpacker {
public:
    Unpacker(const Options& o, Console& console, SharedIndex index, SharedDir dest, FileTime modified)
        : o_(o),
          console_(console),
          index_(std::move(index)),
          dest_(std::move(dest)),
          time_(modified),
          engine_(index_, o.jobs, modified, gStop),
          progress_(console, o.progress.value_or(console.errorIsTerminal) && !o.quiet) {}

    void unpack(const std::vector<NodeId>& chain) {
        Plan plan = planTarget(*index_, chain, [this](const std::string& text) {
            // A hostile tree can hold millions of bad names: the first hundred are shown.
            if (o_.quiet || ++warnings_ > kWarningsShown) return;
            progress_.clear();
            printWarning(console_, text);
        });
        failed_ |= plan.skippedSomething;
        totals_.filesTotal += plan.files;
        totals_.bytesTotal += plan.bytes;
        std::vector<bool> failedDirs(plan.dirs.size(), false);
        makeDirectories(plan, failedDirs);
        engine_.finish(idle());
        setDirectoryTimes(plan, failedDirs);
        printMessages();
    }

    // Ends the run: the summary line, and the exit code.
    int conclude(double seconds) {
        printMessages();
        progress_.clear();
        if (warnings_ > kWarningsShown && !o_.quiet) {
            printWarning(console_, std::to_string(warnings_ - kWarningsShown) + " more warnings left out");
        }
        EngineCounts c = engine_.counts();
        if (gStop) return 128 + gStop;
        if (!o_.quiet) {
            char line[512];
            std::snprintf(line, sizeof line, "%llu files and %llu directories, %s, written to ",
                          static_cast<unsigned long long>(c.filesDone),
                          static_cast<unsigned long long>(dirsMade_), humanBytes(c.bytesDone).c_str());
            char time[64];
            std::snprintf(time, sizeof time, " in %.2f s", seconds);
            printLine(console_, line + o_.dest + time);
        }
        return failed_ || c.failures > 0 ? 1 : 0;
    }

    void fail() { failed_ = true; }

private:
    std::function<void()> idle() {
        return [this] {
            printMessages();
            EngineCounts c = engine_.counts();
            totals_.filesDone = c.filesDone;
            totals_.bytesDone = c.bytesDone;
            progress_.update(totals_);
        };
    }

    void printMessages() {
        std::vector<std::string> lines = engine_.takeMessages();
        if (lines.empty()) return;
        progress_.clear();
        for (const std::string& line : lines) printError(console_, kErrorPrefix, line);
    }

    void reportDir(const Plan& plan, uint32_t dir, const SystemError& e) {
        progress_.clear();
        printError(console_, "Error: Failed to extract ", pathOf(plan, dir) + ": " + e.text());
        failed_ = true;
    }

    // The directory at plan index `dir`, opened afresh from the destination down: only the
    // current parent stays open, so a wide tree never holds many descriptors.
    Expected<SharedDir, SystemError> openPlanned(const Plan& plan, uint32_t dir) {
        if (dir == cachedIndex_ && cached_) return cached_;
        std::vector<uint32_t> chain;
        for (uint32_t d = dir; d != 0; d = plan.dirs[d].parent) chain.push_back(d);
        SharedDir at = dest_;
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            auto next = openDirectory(*at, plan.dirs[*it].name);
            if (!next) return next.error();
            at = *next;
        }
        cachedIndex_ = dir;
        cached_ = at;
        return at;
    }

    void makeDirectories(const Plan& plan, std::vector<bool>& failedDirs) {
        cached_.reset();
        for (uint32_t i = 0; i < plan.dirs.size() && !gStop; ++i) {
            SharedDir here = dest_;
            if (i > 0) {
                const PlannedDir& d = plan.dirs[i];
                if (failedDirs[d.parent] || !d.writable) {
                    failedDirs[i] = true;  // its parent's error, or its own warning, said it all
                    continue;
                }
                auto parent = openPlanned(plan, d.parent);
                auto made = parent ? makeDirectory(**parent, d.name, o_.force) : parent;
                if (!made) {
                    reportDir(plan, i, made.error());
                    failedDirs[i] = true;
                    continue;
                }
                here = *made;
                ++dirsMade_;
            }
            queueFiles(plan, i, here);
        }
    }

    void queueFiles(const Plan& plan, uint32_t i, const SharedDir& here) {
        auto add = [&](NodeId node, std::string_view name) {
            engine_.add(here, std::string(name), pathOf(plan, i, name), node, idle());
        };
        if (plan.singleFile != kInvalidNode && i + 1 == plan.dirs.size()) {
            add(plan.singleFile, index_->entryName(plan.singleFile));
        }
        if (!plan.dirs[i].withFiles) return;
        // The same rules as the plan's, over the same siblings in the same order.
        NameRules rules;
        classifyChildren(*index_, plan.dirs[i].node, [&](const WalkChild& c) {
            bool written = c.status == ChildStatus::kUsable && rules.check(c.name) == Refusal::kNone;
            if (c.isFile && written && !gStop) add(c.node, c.name);
        });
    }

    // Writing files changed the directories' times: set them last, deepest first.
    void setDirectoryTimes(const Plan& plan, const std::vector<bool>& failedDirs) {
        cached_.reset();
        for (uint32_t i = uint32_t(plan.dirs.size()); i-- > 1 && !gStop;) {
            if (failedDirs[i]) continue;
            auto parent = openPlanned(plan, plan.dirs[i].parent);
            if (parent) setDirectoryTime(**parent, plan.dirs[i].name, time_);
        }
        cached_.reset();
    }

    const Options& o_;
    Console& console_;
    SharedIndex index_;
    SharedDir dest_;
    FileTime time_;
    FileEngine engine_;
    ProgressLine progress_;
    ProgressCounts totals_;
    uint64_t dirsMade_ = 0;
    uint64_t warnings_ = 0;
    bool failed_ = false;
    uint32_t cachedIndex_ = kNoParent;
    SharedDir cached_;
};

int unpackWith(const Options& o, Console& console) {
    auto start = std::chrono::steady_clock::now();
    SharedIndex index = openOrReport(o.archive, console);
    if (!index) return 1;
    // The format keeps no times: every file gets the archive's own.
    auto opened = index->file().openedStatus();
    FileTime modified = opened ? opened->modified : 0;
    // Every named path must exist before anything is written... but a missing one only
    // costs its own line: the others go on.
    std::vector<std::vector<NodeId>> targets;
    bool missing = false;
    for (const std::string& path : o.paths) {
        std::vector<NodeId> chain;
        if (index->findPath(path, &chain) == kInvalidNode) {
            printError(console, "Error: Path not found in archive: ", path);
            missing = true;
        } else {
            targets.push_back(std::move(chain));
        }
    }
    if (o.paths.empty()) targets.emplace_back();
    auto dest = openDestination(o.dest, o.force);
    if (!dest) {
        printError(console, kErrorPrefix, dest.error());
        return 1;
    }
    Unpacker unpacker(o, console, index, *dest, modified);
    if (missing) unpacker.fail();
    for (const auto& chain : targets) {
        if (gStop) break;
        unpacker.unpack(chain);
    }
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    return unpacker.conclude(elapsed.count());
}

}  // namespace

int runUnpack(int argc, const char* const* argv, Console& console) {
    Options o;
    return runProgram({"qev-unpack", kUsage, /*stoppable=*/true}, argc, argv, console, optionTable(o), o, [&] {
        if (std::string error = takeArguments(o); !error.empty()) {
            printError(console, kErrorPrefix, error);
            return 1;
        }
        return unpackWith(o, console);
    });
}

}  // namespace qev::unpack
