#include "unpack/run_unpack.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>

#include "archive/read/tree_walk.h"
#include "shell/progress.h"
#include "system/process.h"
#include "system/stop_signals.h"
#include "system/text.h"
#include "unpack/destination.h"
#include "unpack/file_engine.h"
#include "unpack/name_rules.h"
#include "unpack/options.h"
#include "unpack/plan_walk.h"
#include "unpack/unpack_plan.h"

namespace qev::unpack {
namespace {

const std::atomic<int>& gStop = StopSignals::caught();

constexpr uint64_t kWarningsShown = 100;

class Unpacker {
public:
    Unpacker(const Options& o, Console& console, ProvenArchive archive, SharedDir dest, FileTime modified)
        : o_(o),
          console_(console),
          unproven_(archive.unproven),
          repairable_(archive.hasRecoveryRecord),
          index_(std::move(archive.index)),
          dest_(std::move(dest)),
          destFolds_(foldsCase(*dest_)),
          time_(modified),
          engine_(index_, o.jobs,
                  EngineOptions{modified, o.force, !o.noSync && !canSyncFilesystem(), std::move(archive.blockHashes)},
                  gStop),
          progress_(console, o.progress.value_or(console.errorIsTerminal) && !o.quiet, o.progressJson) {
        if (std::optional<FileIdentity> id = identityOf(*dest_)) filesystems_.try_emplace(id->volume, dest_);
    }

    void unpack(const std::vector<NodeId>& chain) {
        Plan plan = planTarget(
            *index_, chain, destFolds_,
            [this](std::string_view text, const Plan& p, uint32_t dir, std::optional<std::string_view> name) {
                // A hostile tree can hold millions of bad names: the first hundred are shown.
                if (o_.quiet || ++warnings_ > kWarningsShown) return;
                progress_.clear();
                printWarning(console_, std::string(text) + (name ? pathOf(p, dir, *name) : pathOf(p, dir)));
            });
        failed_ |= plan.skippedSomething;
        totals_.total += plan.files;
        totals_.bytesTotal += plan.bytes;
        std::vector<bool> failedDirs(plan.dirs.size(), false);
        PlanCursor cursor(plan, dest_);
        folds_.assign(plan.dirs.size(), false);
        folds_[0] = destFolds_;
        makeDirectories(plan, cursor, failedDirs);
        engine_.finish(idle());
        setDirectoryTimes(plan, cursor, failedDirs);
        printMessages();
    }

    // Ends the run: the summary line, and the exit code.
    int conclude(double seconds) {
        printMessages();
        progress_.clear();
        if (stale_.files > 0 && !o_.quiet) {
            printWarning(console_, "Removed " + std::to_string(stale_.files) +
                                       (stale_.files == 1 ? " temporary file" : " temporary files") + " (" +
                                       humanBytes(stale_.bytes) + ") left in " + o_.dest +
                                       " by qev-unpack runs that ended");
        }
        if (warnings_ > kWarningsShown && !o_.quiet) {
            printWarning(console_, std::to_string(warnings_ - kWarningsShown) + " more warnings left out");
        }
        EngineCounts c = engine_.counts();
        if (gStop) return 128 + gStop;
        if (!o_.noSync) {
            // syncfs can take minutes on a USB stick: the line says what is being waited for.
            progress_.note(kSyncingLine);
            syncEverything();
            progress_.clear();
        }
        if (!o_.quiet) {
            char line[512];
            std::snprintf(line, sizeof line, "%llu files and %llu directories, %s, written to ",
                          static_cast<unsigned long long>(c.filesDone), static_cast<unsigned long long>(dirsMade_),
                          humanBytes(c.bytesDone).c_str());
            char time[64];
            std::snprintf(time, sizeof time, " in %.2f s", seconds);
            printLine(console_, line + o_.dest + time);
        }
        if (unproven_) {
            printError(console_, kErrorPrefix, kUnprovenLine);
            return 1;
        }
        if (c.damaged > 0 && repairable_) {
            // The fix, where there is one: the record can rebuild what it covers.
            printError(console_, kErrorPrefix,
                       "Damaged blocks kept " + std::to_string(c.damaged) + (c.damaged == 1 ? " file" : " files") +
                           " from being written; qev-check --repair " + o_.archive + " can repair it");
        }
        return failed_ || c.failures > 0 ? 1 : 0;
    }

    void fail() { failed_ = true; }

private:
    std::function<void()> idle() {
        return [this] {
            printMessages();
            EngineCounts c = engine_.counts();
            totals_.done = c.filesDone;
            totals_.bytesDone = c.bytesDone;
            progress_.update(totals_);
        };
    }

    void printMessages() {
        std::vector<std::string> lines = engine_.takeMessages();
        if (lines.empty()) return;
        progress_.clear();
        for (const std::string& line : lines) printError(console_, line);
    }

    void reportDir(const Plan& plan, uint32_t dir, const SystemError& e) {
        failed_ = true;
        if (failsEveryFile(e) && !engine_.abandon()) return;  // the first such failure said it
        progress_.clear();
        printError(console_, "Error: Failed to extract ", pathOf(plan, dir) + ": " + e.text());
    }

    // Depth first, so that one open directory at a time serves however deep the tree.
    void makeDirectories(const Plan& plan, PlanCursor& cursor, std::vector<bool>& failedDirs) {
        walkDepthFirst(
            plan,
            [&](uint32_t i) {
                if (gStop || engine_.abandoned()) return false;
                if (i == 0) {
                    queueFiles(plan, 0, target(dest_, destFolds_, false));
                    return true;
                }
                const PlannedDir& d = plan.dirs[i];
                if (failedDirs[d.parent] || !d.writable) {
                    failedDirs[i] = true;  // its parent's error, or its own warning, said it all
                    return false;
                }
                auto parent = cursor.climbTo(d.parent);
                bool created = false;
                auto made = parent ? cursor.make(i, o_.force, created) : parent;
                if (!made) {
                    reportDir(plan, i, made.error());
                    failedDirs[i] = true;
                    return false;
                }
                ++dirsMade_;
                // A directory folds letter case as its parent does, unless it is another filesystem.
                uint64_t volume = cursor.made(i).volume;
                bool sameFilesystem = volume == cursor.made(d.parent).volume;
                folds_[i] = sameFilesystem ? folds_[d.parent] : foldsCase(**made);
                if (!sameFilesystem) filesystems_.try_emplace(volume, *made);
                queueFiles(plan, i, target(*made, folds_[i], created));
                return true;
            },
            [](uint32_t) {});
    }

    bool foldsCase(const DirHandle& dir) const { return foldsLetterCase(dir, names_.name("", "case")).value_or(false); }

    SharedTarget target(SharedDir dir, bool folds, bool created) {
        auto t = std::make_shared<TargetDir>();
        t->handle = std::move(dir);
        t->foldsCase = folds;
        if (created) return t;
        // A folder that held anything before the run is listed once: for the temporaries
        // ended runs left there, and (where letter case is ignored) for what it held under
        // which spelling, since only that is ever replaced there.
        auto entries = listDirectory(*t->handle);
        if (!entries) return t;
        TemporaryNames::Removed removed = names_.removeStale(*t->handle, *entries);
        stale_.files += removed.files;
        stale_.bytes += removed.bytes;
        if (folds && o_.force) {
            for (const ListedEntry& e : *entries) t->before.insert(upcaseName(e.name));
        }
        return t;
    }

    void syncEverything() {
        if (!canSyncFilesystem()) return;  // each file was flushed itself
        for (const auto& [volume, dir] : filesystems_) {
            if (auto error = syncFilesystem(*dir)) {
                printError(console_, "Error: Failed to sync " + o_.dest + ": ", error->text());
                failed_ = true;
            }
        }
    }

    void queueFiles(const Plan& plan, uint32_t i, const SharedTarget& here) {
        auto add = [&](NodeId node, std::string_view name) {
            engine_.add(here, std::string(name), plan, i, node, idle());
        };
        if (plan.singleFile != kInvalidNode && i + 1 == plan.dirs.size()) {
            std::string scratch;
            add(plan.singleFile, index_->nameOf(plan.singleFile, scratch).value_or(std::string_view()));
        }
        if (!plan.dirs[i].withFiles) return;
        // The same rules as the plan's, over the same siblings in the same order.
        NameRules rules(here->foldsCase);
        classifyChildren(*index_, plan.dirs[i].node, [&](const WalkChild& c) {
            bool written = c.status == ChildStatus::kUsable && rules.check(c.name) == Refusal::kNone;
            if (c.isFile && written && !gStop) add(c.node, c.name);
        });
    }

    // Writing files changed the directories' times: set them last, each once everything
    // below it is done.
    void setDirectoryTimes(const Plan& plan, PlanCursor& cursor, const std::vector<bool>& failedDirs) {
        walkDepthFirst(
            plan,
            [&](uint32_t i) {
                if (gStop || failedDirs[i]) return false;
                return i == 0 || (cursor.climbTo(plan.dirs[i].parent) && cursor.enter(i));
            },
            [&](uint32_t i) {
                if (i == 0 || gStop) return;
                if (auto parent = cursor.climbTo(plan.dirs[i].parent))
                    setDirectoryTime(**parent, plan.dirs[i].name, time_);
            });
    }

    const Options& o_;
    Console& console_;
    TemporaryNames names_{kProgramName};
    TemporaryNames::Removed stale_;
    bool unproven_;    // what is written cannot be proven: never success
    bool repairable_;  // the archive has a recovery record
    SharedIndex index_;
    SharedDir dest_;
    bool destFolds_;
    std::vector<bool> folds_;                    // of the current plan's directories
    std::map<uint64_t, SharedDir> filesystems_;  // one open directory on each written to
    FileTime time_;
    FileEngine engine_;
    ProgressLine progress_;
    ProgressCounts totals_;
    uint64_t dirsMade_ = 0;
    uint64_t warnings_ = 0;
    bool failed_ = false;
};

// The jobs the limit of open descriptors allows, when it is lower than asked: one warning
// line then, or nothing when not even one job fits.
std::optional<unsigned> jobsWithinOpenFiles(unsigned jobs, bool quiet, Console& console) {
    std::optional<uint64_t> limit = openFileLimit();
    if (!limit) return jobs;
    uint64_t fits = *limit > kDescriptorsBesides ? (*limit - kDescriptorsBesides) / kDescriptorsPerJob : 0;
    if (fits >= jobs) return jobs;
    if (fits == 0) {
        printError(console, "Error: The limit of open files is too low: ", std::to_string(*limit));
        return std::nullopt;
    }
    if (!quiet) {
        printWarning(console, "Using " + std::to_string(fits) + " jobs, as many as the limit of " +
                                  std::to_string(*limit) + " open files allows");
    }
    return unsigned(fits);
}

// The named paths, less any that lies inside another (or names it again): no file is
// planned twice, so none written in this run is replaced by itself.
std::vector<std::vector<NodeId>> disjointTargets(std::vector<std::vector<NodeId>> targets) {
    auto last = [](const std::vector<NodeId>& chain) { return chain.empty() ? NodeId(0) : chain.back(); };
    auto inside = [&](const std::vector<NodeId>& chain, NodeId node) {
        return node == 0 || std::find(chain.begin(), chain.end(), node) != chain.end();
    };
    std::vector<bool> covered(targets.size(), false);
    for (size_t t = 0; t < targets.size(); ++t) {
        for (size_t u = 0; u < targets.size() && !covered[t]; ++u) {
            if (u == t) continue;
            // Inside another, or the same as an earlier one.
            bool same = last(targets[u]) == last(targets[t]);
            covered[t] = same ? u < t : inside(targets[t], last(targets[u]));
        }
    }
    std::vector<std::vector<NodeId>> kept;
    for (size_t t = 0; t < targets.size(); ++t) {
        if (!covered[t]) kept.push_back(std::move(targets[t]));
    }
    return kept;
}

int unpackWith(Options o, Console& console) {
    std::optional<unsigned> jobs = jobsWithinOpenFiles(o.jobs, o.quiet, console);
    if (!jobs) return 1;
    o.jobs = *jobs;
    auto start = std::chrono::steady_clock::now();
    ProvenArchive archive = openProvenOrReport(o.archive, o.quiet, console);
    if (!archive.index) return 1;
    SharedIndex index = archive.index;
    // The format keeps no times: every file gets the archive's own.
    auto opened = index->file().openedStatus();
    FileTime modified = opened ? opened->modified : 0;
    // Every named path must exist before anything is written... but a missing one only
    // costs its own line: the others go on.
    std::vector<std::vector<NodeId>> targets;
    bool missing = false;
    for (const std::string& path : o.paths) {
        std::vector<NodeId> chain;
        if (index->findPath(path, NameMatch::kExactFirst, &chain) == kInvalidNode) {
            printError(console, "Error: Path not found in archive: ", path);
            missing = true;
        } else {
            targets.push_back(std::move(chain));
        }
    }
    if (o.paths.empty()) targets.emplace_back();
    targets = disjointTargets(std::move(targets));
    auto dest = openDestination(o.dest, o.force);
    if (!dest) {
        printError(console, kErrorPrefix, dest.error());
        return 1;
    }
    Unpacker unpacker(o, console, std::move(archive), *dest, modified);
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
