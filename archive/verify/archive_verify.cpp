#include "archive/verify/archive_verify.h"

#include <algorithm>
#include <atomic>

namespace qev {
namespace {

// Damaged blocks reported one by one, each with the files that need it; the rest in one line.
constexpr size_t kBlocksShown = 20;
constexpr size_t kFilesShown = 3;

// One error for each block of `blocks` (the first few): "Block N WHAT; needed by FILES",
// about the first file that needs it.
void reportBlocks(const ArchiveIndex& index, const Survey& survey, const std::vector<uint64_t>& blocks,
                  const std::string& kind, const std::string& what, Findings& findings) {
    for (size_t i = 0; i < blocks.size() && i < kBlocksShown; ++i) {
        uint64_t total = 0;
        std::vector<NeedingFile> files = filesNeeding(index, survey, blocks[i], kFilesShown, total);
        std::string text = "Block " + std::to_string(blocks[i]) + " " + what + "; needed by ";
        if (files.empty()) text += "no file";
        for (size_t p = 0; p < files.size(); ++p) text += (p > 0 ? ", " : "") + files[p].path;
        if (total > files.size()) text += " and " + std::to_string(total - files.size()) + " more";
        std::optional<BlockLocation> at = index.locateBlock(blocks[i]);
        Finding* f = findings.errorAt(kind, at ? at->fileOffset : 0, at ? at->storedLength : 0, text);
        if (f != nullptr) f->block = blocks[i];
        about(f, files.empty() ? kInvalidNode : files[0].node);
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
void checkStructure(const ArchiveIndex& index, const ArchiveProof& proof, bool blocks, Verification& v) {
    ArchiveFooter footer = decodeFooter(proof.found.footer.data());
    if (proof.found.state == RecordState::kDamaged) {
        v.findings.errorAt("integrity-record", footer.auxSection1.offset, footer.auxSection1.size,
                           "The integrity record is damaged: it does not match the footer's seal");
    }
    if (proof.blocks == BlockProof::kUnproven && blocks) {
        v.findings.error("unproven",
                         "No block can be proven: the integrity record is damaged and no recovery "
                         "record proves them instead");
    }
    for (StructurePart part : proof.mismatched) {
        ++v.recordMismatches;
        SectionRange range = partRange(index, footer, part);
        std::string text = "the " + std::string(partName(part)) + " does not match " + provenBy(proof);
        v.findings.errorAt(part == StructurePart::kFooter ? "footer-mismatch" : "table-mismatch", range.offset,
                           range.size, capitalized(text));
    }
}

void checkData(const SharedIndex& index, const VerifyOptions& o, Verification& v) {
    std::atomic<uint64_t> done{0};
    const std::vector<uint32_t>* hashes = v.proof.blockHashes.get();
    uint64_t total = uint64_t(std::count(v.survey.neededBlocks.begin(), v.survey.neededBlocks.end(), true));
    if (hashes != nullptr) total = std::max<uint64_t>(total, hashes->size());
    BlockFindings blocks = checkBlocks(index, v.survey.neededBlocks, hashes, o.jobs, done,
                                       [&] { return !o.progress || o.progress(done, total); });
    v.stopped = blocks.stopped;
    // A last call once every block is read, whatever the pace, so a caller sees the end.
    if (o.progress && !v.stopped) o.progress(done, total);
    reportBlocks(*index, v.survey, blocks.damaged, "damaged-block", "does not decompress to 65536 bytes", v.findings);
    reportBlocks(*index, v.survey, blocks.mismatched, "block-mismatch", "does not match " + provenBy(v.proof),
                 v.findings);
    v.recordMismatches += blocks.mismatched.size();
    if (index->file().changedSinceOpen()) {
        v.findings.error("archive-changed", "The archive changed on disk during the check");
    }
}

}  // namespace

Verification verifyArchive(const SharedIndex& index, const VerifyOptions& o) {
    Verification v;
    v.survey = surveyTree(*index, v.findings, o.list);
    findUnused(*index, v.survey, v.findings);
    v.blocks = countBlocks(*index, v.survey.neededBlocks);
    if (!o.structure) return v;
    v.proof = proveArchive(*index, /*useRecovery=*/o.blocks);
    checkStructure(*index, v.proof, o.blocks, v);
    if (o.blocks && o.readBlocks) checkData(index, o, v);
    return v;
}

}  // namespace qev
