#include "check/run_check.h"

#include <algorithm>
#include <atomic>
#include <sstream>

#include "archive/format/escape.h"
#include "archive/verify/archive_verify.h"

#include "check/against.h"
#include "check/options.h"
#include "check/patched_file.h"
#include "check/rebuild.h"
#include "check/recovery_status.h"
#include "check/repair.h"
#include "check/report.h"
#include "shell/progress.h"
#include "system/text.h"

namespace qev::check {
namespace {

// Every file compared with the folder's, through readers that check each block against the
// integrity record: the data check, done as part of the comparison.
void compareAgainst(const SharedIndex& index, const Options& o, Console& console, const ArchiveProof& proof,
                    Report& report, Findings& findings) {
    ProgressCounts counts;
    counts.total = report.totals.files;  // the files a walk of the archive reaches
    ProgressLine progress(console, o.progress.value_or(console.errorIsTerminal), o.progressJson);
    Comparison c = compareWithFolder(index, proof.blockHashes, o.against, o.jobs, [&](uint64_t done) {
        counts.done = done;
        progress.update(counts);
    });
    progress.clear();
    report.against = o.against;
    report.againstFiles = c.files;
    report.differences = std::move(c.differences);
    for (std::string& e : c.errors) findings.error("against-unreadable", std::move(e));
    if (!report.differences.empty()) {
        findings.error("against-differs", plural(report.differences.size(), "difference", "differences") +
                                              " between the archive and " + o.against);
    }
}

// A finding judged repairable by where its damage lies is so only if the rebuilt archive
// no longer shows it: the rebuild is made and checked here, as --repair would.
void confirmByRebuilding(const ArchiveFile& file, const Options& o, const RecoveryDamage& damage, Findings& findings) {
    auto claimed = [](const Finding& f) { return f.error && f.repairable.value_or(false); };
    if (std::none_of(findings.items.begin(), findings.items.end(), claimed)) return;
    Rebuilt rebuilt = rebuildAndRecheck(o, file, damage);
    for (Finding& f : findings.items) {
        if (!claimed(f) || !rebuilt.remains(f)) continue;
        f.repairable = false;
        f.whyNot = rebuilt.patches ? std::string(kRemainsRebuilt) : rebuilt.why;
    }
}

// The recovery record's view of the findings: scanned cell by cell when something is
// damaged, so that each finding can say whether it is repairable.
void judgeByRecovery(const ArchiveFile& file, const Options& o, Console& console, Report& report, Findings& findings) {
    RecoveryStatus status = assessRecovery(file, findings.errors > 0, console,
                                           o.progress.value_or(console.errorIsTerminal), o.progressJson);
    if (!status.unreadable.empty())
        findings.error("recovery-unreadable", "Cannot read the recovery record: " + status.unreadable);
    judgeFindings(status, findings);
    if (status.damage) confirmByRebuilding(file, o, *status.damage, findings);
    report.recovery = std::move(status);
}

// One line saying why, as every program says it (with what the recovery record can do about
// it), then what the recovery record itself found.
void printOpenFailure(const Options& o, Console& console, const Report& report, const Findings& findings) {
    for (const Finding& f : findings.items) {
        if (f.kind != "not-opened") continue;
        Finding why = f;
        why.text = report.openFailure;
        printError(console, kFailedToOpen, o.archive + ": " + why.shown());
    }
    for (const Finding& f : findings.items) {
        if (f.kind != "not-opened") printError(console, kErrorPrefix, f.shown());
    }
    if (o.json && !o.list) {
        std::string json = summaryJson(report, findings, false);
        console.out.write(json.data(), std::streamsize(json.size()));
        console.out.flush();
    }
}

}  // namespace

Inspection inspectArchive(const Options& o, Console& console, std::unique_ptr<ArchiveFile> file,
                          const Repaired& repaired, Judge judge) {
    Inspection in;
    Report& report = in.report;
    Findings& findings = in.findings;
    report.archive = o.archive;
    report.repaired = repaired;
    ArchiveFile* raw = file.get();
    auto index = ArchiveIndex::create(file);
    if (!index) {
        report.openFailure = describeOpenError(index.error());
        findings.error("not-opened", capitalized(report.openFailure));
        // The file itself is still ours: its recovery record may mend what refused it.
        if (raw && !o.list && judge == Judge::kByRecoveryRecord) judgeByRecovery(*raw, o, console, report, findings);
        return in;
    }
    in.opened = true;
    VerifyOptions verify;
    verify.structure = !o.list;
    // A damaged record gives way to the recovery record only where the data is checked.
    verify.blocks = !o.quick || !o.against.empty();
    verify.readBlocks = o.against.empty();
    verify.jobs = o.jobs;
    if (o.list) {
        verify.list = [&](const WalkedEntry& e) {
            std::string l = listLine(e, o.json);
            console.out.write(l.data(), std::streamsize(l.size()));
        };
    }
    ProgressLine progress(console, o.progress.value_or(console.errorIsTerminal), o.progressJson);
    ProgressCounts counts;
    counts.unit = "blocks";
    verify.progress = [&](uint64_t done, uint64_t total) {
        counts = unitCounts(done, total, kBlockSize, "blocks");
        progress.update(counts);
        return true;
    };
    Verification v = verifyArchive(*index, verify);
    progress.clear();
    findings = std::move(v.findings);
    report.archiveSize = (*index)->archiveSize();
    report.totals = v.survey.totals;
    report.blocks = v.blocks;
    report.record = v.proof.found.state;
    report.recordMismatches = v.recordMismatches;
    report.dataChecked = !o.quick && !o.list && o.against.empty();
    if (!o.against.empty() && !o.list) compareAgainst(*index, o, console, v.proof, report, findings);
    if (!o.list && judge == Judge::kByRecoveryRecord) judgeByRecovery(*raw, o, console, report, findings);
    return in;
}

Inspection inspectPatched(const Options& o, const ArchiveFile& file, const std::vector<Patch>& patches,
                          const Repaired& repaired) {
    std::ostringstream out, err;
    Console quiet{out, err};
    Options verify = o;
    verify.progress = false;
    return inspectArchive(verify, quiet, std::make_unique<PatchedFile>(file, patches), repaired, Judge::kNo);
}

int reportInspection(const Options& o, Console& console, const Inspection& in) {
    if (!in.opened) {
        printOpenFailure(o, console, in.report, in.findings);
        return 1;
    }
    if (!o.list && !o.json) {
        for (const std::string& d : in.report.differences) printLine(console, d);
    }
    if (!o.list) {
        std::string summary = o.json ? summaryJson(in.report, in.findings, true) : summaryText(in.report, in.findings);
        console.out.write(summary.data(), std::streamsize(summary.size()));
    }
    console.out.flush();
    printFindings(console, in.findings);
    if (!console.out.good()) {
        printError(console, kOutputFailed);
        return 1;
    }
    return in.findings.errors == 0 ? 0 : 1;
}

namespace {

int checkOne(const Options& o, Console& console) {
    if (o.repair) return repairArchive(o, console);
    return reportInspection(
        o, console, inspectArchive(o, console, openArchiveFile(pathFromUtf8(o.archive)), {}, Judge::kByRecoveryRecord));
}

// Several archives, or a folder of them: each checked as if alone, then one line for all
// (in text; JSON gives one object a line, for each archive).
int checkEach(Options& o, Console& console, const std::vector<std::string>& named) {
    if (o.archives.empty()) {
        printError(console, kErrorPrefix, "No QEV archive (*.qev) in " + named[0]);
        return 1;
    }
    std::vector<std::string> failed;
    std::vector<std::string> archives = o.archives;
    for (size_t i = 0; i < archives.size(); ++i) {
        o.archive = archives[i];
        if (i > 0 && !o.json) printLine(console, "");
        if (checkOne(o, console) != 0) failed.push_back(archives[i]);
    }
    if (o.json) return failed.empty() ? 0 : 1;
    std::string line = "Checked " + plural(archives.size(), "archive", "archives") + ": " +
                       std::to_string(archives.size() - failed.size()) + " without errors";
    if (!failed.empty()) {
        line.append(", ").append(std::to_string(failed.size())).append(" with errors:");
        for (size_t i = 0; i < failed.size() && i < 5; ++i) line.append(" ").append(displayPath(failed[i]));
        if (failed.size() > 5) line.append(" and ").append(std::to_string(failed.size() - 5)).append(" more");
    }
    printLine(console, "");
    printLine(console, line);
    return failed.empty() ? 0 : 1;
}

}  // namespace

int runCheck(int argc, const char* const* argv, Console& console) {
    Options o;
    return runProgram({"qev-check", kUsage}, argc, argv, console, optionTable(o), o, [&] {
        if (std::string error = takeArguments(o); !error.empty()) {
            printError(console, kErrorPrefix, error);
            return 1;
        }
        bool one = o.positional.size() == 1 && o.archives.size() == 1 && o.archives[0] == o.archive;
        return one ? checkOne(o, console) : checkEach(o, console, o.positional);
    });
}

}  // namespace qev::check
