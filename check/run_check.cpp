#include "check/run_check.h"

#include <algorithm>
#include <atomic>
#include <sstream>

#include "archive/archive_proof.h"

#include "check/against.h"
#include "check/block_verify.h"
#include "check/options.h"
#include "check/patched_file.h"
#include "check/recovery_status.h"
#include "check/repair.h"
#include "check/report.h"
#include "check/survey.h"
#include "shell/progress.h"
#include "system/text.h"

namespace qev::check {
namespace {

// Damaged blocks reported one by one, each with the files that need it; the rest in one line.
constexpr size_t kBlocksShown = 20;
constexpr size_t kFilesShown = 3;

std::string capitalized(std::string text) {
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = char(text[0] - 'a' + 'A');
    return text;
}

// One error for each block of `blocks` (the first few): "Block N WHAT; needed by FILES".
void reportBlocks(const ArchiveIndex& index, const Survey& survey, const std::vector<uint64_t>& blocks,
                  const std::string& kind, const std::string& what, Findings& findings) {
    for (size_t i = 0; i < blocks.size() && i < kBlocksShown; ++i) {
        uint64_t total = 0;
        std::vector<std::string> paths = filesNeeding(index, survey, blocks[i], kFilesShown, total);
        std::string text = "Block " + std::to_string(blocks[i]) + " " + what + "; needed by ";
        if (paths.empty()) text += "no file";
        for (size_t p = 0; p < paths.size(); ++p) text += (p > 0 ? ", " : "") + paths[p];
        if (total > paths.size()) text += " and " + std::to_string(total - paths.size()) + " more";
        std::optional<BlockLocation> at = index.locateBlock(blocks[i]);
        findings.errorAt(kind, at ? at->fileOffset : 0, at ? at->storedLength : 0, text);
    }
    if (blocks.size() > kBlocksShown) {
        findings.error(kind, std::to_string(blocks.size() - kBlocksShown) + " more such blocks");
    }
}

// What a mismatch is against, in the findings' words.
std::string provenBy(const ArchiveProof& proof) {
    return proof.blocks == BlockProof::kRecoveryRecord ? "the recovery record's sector hashes" : "the integrity record";
}

// The integrity record itself, then the tables and the footer against what proves them.
void checkStructure(const ArchiveIndex& index, const ArchiveProof& proof, bool blocksChecked, Report& report,
                    Findings& findings) {
    report.record = proof.found.state;
    ArchiveFooter footer = decodeFooter(proof.found.footer.data());
    if (proof.found.state == RecordState::kDamaged) {
        findings.errorAt("integrity-record", footer.auxSection1.offset, footer.auxSection1.size,
                         "The integrity record is damaged: it does not match the footer's seal");
    }
    if (proof.blocks == BlockProof::kUnproven && blocksChecked) {
        findings.error("unproven", "No block can be proven: the integrity record is damaged and no recovery "
                                   "record proves them instead");
    }
    for (StructurePart part : proof.mismatched) {
        ++report.recordMismatches;
        SectionRange range = partRange(index, footer, part);
        std::string text = "the " + std::string(partName(part)) + " does not match " + provenBy(proof);
        findings.errorAt(part == StructurePart::kFooter ? "footer-mismatch" : "table-mismatch", range.offset, range.size,
                         capitalized(text));
    }
}

void checkData(const SharedIndex& index, const Options& o, Console& console, const Survey& survey,
               const ArchiveProof& proof, Report& report, Findings& findings) {
    std::atomic<uint64_t> done{0};
    ProgressCounts counts;
    counts.unit = "blocks";
    counts.filesTotal = uint64_t(std::count(survey.neededBlocks.begin(), survey.neededBlocks.end(), true));
    ProgressLine progress(console, o.progress.value_or(console.errorIsTerminal));
    const std::vector<uint32_t>* hashes = proof.blockHashes.get();
    if (hashes != nullptr) counts.filesTotal = std::max<uint64_t>(counts.filesTotal, hashes->size());
    BlockFindings blocks = checkBlocks(index, survey.neededBlocks, hashes, o.jobs, done, [&] {
        counts.filesDone = done;
        counts.bytesDone = counts.bytesTotal = 0;
        progress.update(counts);
    });
    progress.clear();
    reportBlocks(*index, survey, blocks.damaged, "damaged-block", "does not decompress to 65536 bytes", findings);
    reportBlocks(*index, survey, blocks.mismatched, "block-mismatch", "does not match " + provenBy(proof), findings);
    report.recordMismatches += blocks.mismatched.size();
    if (index->file().changedSinceOpen()) {
        findings.error("archive-changed", "The archive changed on disk during the check");
    }
}

// Every file compared with the folder's, through readers that check each block against the
// integrity record: the data check, done as part of the comparison.
void compareAgainst(const SharedIndex& index, const Options& o, Console& console, const ArchiveProof& proof,
                    Report& report, Findings& findings) {
    ProgressCounts counts;
    counts.filesTotal = 0;
    ProgressLine progress(console, o.progress.value_or(console.errorIsTerminal));
    Comparison c = compareWithFolder(index, proof.blockHashes, o.against, o.jobs, [&](uint64_t done) {
        counts.filesDone = done;
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
    std::string why;
    ReadFileAt read = [&](uint64_t offset, uint8_t* into, uint32_t count) { return file.readAt(offset, into, count); };
    std::optional<std::vector<Patch>> patches = rebuildDamage(damage, read, why);
    std::optional<Inspection> after;
    if (patches) after = inspectPatched(o, file, *patches, {});
    for (Finding& f : findings.items) {
        if (!claimed(f)) continue;
        bool remains = !after || std::any_of(after->findings.items.begin(), after->findings.items.end(),
                                             [&](const Finding& g) { return g.kind == f.kind && g.text == f.text; });
        if (!remains) continue;
        f.repairable = false;
        f.whyNot = patches ? "it remains once the damaged sectors are rebuilt" : why;
    }
}

// The recovery record's view of the findings: scanned cell by cell when something is
// damaged, so that each finding can say whether it is repairable.
void judgeByRecovery(const ArchiveFile& file, const Options& o, Console& console, Report& report, Findings& findings) {
    RecoveryStatus status =
        assessRecovery(file, findings.errors > 0, console, o.progress.value_or(console.errorIsTerminal));
    if (!status.unreadable.empty()) findings.error("recovery-unreadable", "Cannot read the recovery record: " + status.unreadable);
    judgeFindings(status, findings);
    if (status.damage) confirmByRebuilding(file, o, *status.damage, findings);
    report.recovery = std::move(status);
}

void printOpenFailure(const Options& o, Console& console, const Report& report, const Findings& findings) {
    printError(console, kFailedToOpen, o.archive);
    for (const Finding& f : findings.items) printError(console, kErrorPrefix, f.shown());
    if (o.json && !o.list) {
        std::string json = summaryJson(report, findings, false);
        console.out.write(json.data(), std::streamsize(json.size()));
        console.out.flush();
    }
}

}  // namespace

Inspection inspectArchive(const Options& o, Console& console, std::unique_ptr<ArchiveFile> file,
                          const Repaired& repaired, bool judge) {
    Inspection in;
    Report& report = in.report;
    Findings& findings = in.findings;
    report.archive = o.archive;
    report.repaired = repaired;
    if (!file) file = openArchiveFile(pathFromUtf8(o.archive));
    ArchiveFile* raw = file.get();
    auto index = ArchiveIndex::create(file);
    if (!index) {
        findings.error("not-opened", capitalized(describeOpenError(index.error())));
        // The file itself is still ours: its recovery record may mend what refused it.
        if (raw && !o.list && judge) judgeByRecovery(*raw, o, console, report, findings);
        return in;
    }
    in.opened = true;
    ListSink list;
    if (o.list) {
        list = [&](const ListedEntry& e) {
            std::string l = listLine(e, o.json);
            console.out.write(l.data(), std::streamsize(l.size()));
        };
    }
    Survey survey = surveyTree(**index, findings, list);
    findUnused(**index, survey, findings);
    report.archiveSize = (*index)->archiveSize();
    report.totals = survey.totals;
    report.blocks = countBlocks(**index, survey.neededBlocks);
    report.dataChecked = !o.quick && !o.list && o.against.empty();
    ArchiveProof proof;
    if (!o.list) {
        // A damaged record gives way to the recovery record only where the data is checked.
        bool blocksChecked = report.dataChecked || !o.against.empty();
        proof = proveArchive(**index, /*useRecovery=*/blocksChecked);
        checkStructure(**index, proof, blocksChecked, report, findings);
    }
    if (!o.against.empty() && !o.list) {
        compareAgainst(*index, o, console, proof, report, findings);
    } else if (report.dataChecked) {
        checkData(*index, o, console, survey, proof, report, findings);
    }
    if (!o.list && judge) judgeByRecovery(*raw, o, console, report, findings);
    return in;
}

Inspection inspectPatched(const Options& o, const ArchiveFile& file, const std::vector<Patch>& patches,
                          const Repaired& repaired) {
    std::ostringstream out, err;
    Console quiet{out, err};
    Options verify = o;
    verify.progress = false;
    return inspectArchive(verify, quiet, std::make_unique<PatchedFile>(file, patches), repaired, /*judge=*/false);
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

int checkArchive(const Options& o, Console& console, std::unique_ptr<ArchiveFile> file, const Repaired& repaired) {
    return reportInspection(o, console, inspectArchive(o, console, std::move(file), repaired, /*judge=*/true));
}

int runCheck(int argc, const char* const* argv, Console& console) {
    Options o;
    return runProgram({"qev-check", kUsage}, argc, argv, console, optionTable(o), o, [&] {
        if (std::string error = takeArguments(o); !error.empty()) {
            printError(console, kErrorPrefix, error);
            return 1;
        }
        if (o.repair) return repairArchive(o, console);
        return checkArchive(o, console, nullptr, {});
    });
}

}  // namespace qev::check
