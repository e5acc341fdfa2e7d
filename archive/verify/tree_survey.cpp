#include "archive/verify/tree_survey.h"

#include <algorithm>

#include "archive/format/escape.h"
#include "archive/read/title_name.h"

namespace qev {
namespace {

// For each block, the first block at or after it that cannot be located: a file's blocks
// all locate when the first bad one lies past its last. Block indices fit 32 bits.
std::vector<uint32_t> nextUnlocatable(const ArchiveIndex& index) {
    uint64_t count = index.blockCount();
    std::vector<uint32_t> next(count + 1, uint32_t(count));
    for (uint64_t b = count; b-- > 0;) next[b] = index.locateBlock(b) ? next[b + 1] : uint32_t(b);
    return next;
}

class Surveyor : public WalkVisitor {
public:
    Surveyor(const ArchiveIndex& index, Survey& survey, Findings& findings, const WalkSink& list)
        : index_(index),
          s_(survey),
          findings_(findings),
          list_(list),
          nextBad_(nextUnlocatable(index)),
          reachTo_(index.blockCount() + 1, 0) {}

    void enterDirectory(NodeId) override { current_ = entering_++; }

    void child(const WalkChild& c) override {
        s_.reached[c.node] = true;
        switch (c.status) {
            case ChildStatus::kUnusableName:
                return about(findings_.error("unusable-name", [&] { return "Unusable name: " + shownPath(c); }),
                             c.node);
            case ChildStatus::kDuplicateName:
                return about(findings_.error(
                                 "duplicate-name",
                                 [&] { return "Duplicate name, the later entry cannot be reached: " + shownPath(c); }),
                             c.node);
            case ChildStatus::kReachedAgain:
                return about(findings_.error("directory-reached-again",
                                             [&] { return "Directory reached more than once: " + shownPath(c); }),
                             c.node);
            case ChildStatus::kUsable: break;
        }
        if (c.caseTwin) {
            about(findings_.warning(
                      "case-twin",
                      [&] { return "Name differs from an earlier sibling's only in letter case: " + shownPath(c); }),
                  c.node);
        }
        if (c.isFile) {
            countFile(c);
        } else {
            countDirectory(c);
        }
        if (list_) {
            const std::string& dir = listedPathOfCurrent();
            list_(WalkedEntry{c.isFile, index_.fileSize(c.node), dir + (dir.empty() ? "" : "/") + escapePath(c.name)});
        }
    }

    void childrenPastEnd(NodeId directory, uint64_t missing) override {
        about(findings_.error("children-past-end",
                              [&] {
                                  std::string dir = walkedPath(s_.dirs, current_, escapeName);
                                  return std::to_string(missing) +
                                         " children lie past the end of the tree in: " + (dir.empty() ? "/" : dir);
                              }),
              directory);
    }

    void childrenLeftOut(NodeId directory) override {
        s_.dirs[current_].childrenWalked = false;
        about(findings_.error("walk-limit",
                              [&] {
                                  std::string dir = walkedPath(s_.dirs, current_, escapeName);
                                  return "Directories share children so often that the walk left out those of: " +
                                         (dir.empty() ? "/" : dir);
                              }),
              directory);
    }

    // The largest file's path, made once the walk is done.
    std::string largestPath() const {
        return s_.totals.largestFile == kInvalidNode ? "" : walkedPath(s_.dirs, largestDir_, largestName_, escapePath);
    }

    // Turns the recorded block ranges into one flag per block.
    void markNeededBlocks() {
        s_.neededBlocks.assign(index_.blockCount(), false);
        uint64_t coveredTo = 0;
        for (uint64_t b = 0; b < index_.blockCount(); ++b) {
            coveredTo = std::max<uint64_t>(coveredTo, reachTo_[b]);
            if (b < coveredTo) s_.neededBlocks[b] = true;
        }
    }

private:
    std::string shownPath(const WalkChild& c) const { return walkedPath(s_.dirs, current_, c.name, escapeName); }

    // The listed path of the current directory, kept from one directory to the next: the
    // walk often enters a child of the directory it left, whose path is then one name longer.
    const std::string& listedPathOfCurrent() {
        if (listedDir_ == current_) return listedPath_;
        const WalkedDir& here = s_.dirs[current_];
        if (listedDir_ != kNoParent && here.parent == listedDir_) {
            if (!listedPath_.empty()) listedPath_ += '/';
            listedPath_ += escapePath(here.name);
        } else {
            listedPath_ = walkedPath(s_.dirs, current_, escapePath);
        }
        listedDir_ = current_;
        return listedPath_;
    }

    void countFile(const WalkChild& c) {
        uint64_t size = index_.fileSize(c.node);
        ++s_.totals.files;
        s_.totals.fileBytes += size;
        if (s_.totals.largestFile == kInvalidNode || size > s_.totals.largestSize) {
            s_.totals.largestFile = c.node;
            s_.totals.largestSize = size;
            largestDir_ = current_;
            largestName_ = c.name;
        }
        if (size == 0) return;
        // Start and size are below 2^48 each, so the sum cannot wrap.
        uint64_t first = index_.fileStart(c.node) / kBlockSize;
        uint64_t last = (index_.fileStart(c.node) + size - 1) / kBlockSize;
        if (last >= index_.blockCount() || nextBad_[first] <= last) {
            about(findings_.error("blocks-outside-data",
                                  [&] { return "Blocks missing from the data section: " + shownPath(c); }),
                  c.node);
            return;
        }
        // One mark a file, whatever its size: the flags are filled in one pass afterwards.
        reachTo_[first] = std::max<uint32_t>(reachTo_[first], uint32_t(last + 1));
    }

    void countDirectory(const WalkChild& c) {
        ++s_.totals.directories;
        s_.dirs.push_back({c.node, current_, c.name, true});
        TitleEntry title;
        if (current_ == 0 && parseTitleFolderName(c.name, title)) ++s_.totals.titles;
    }

    const ArchiveIndex& index_;
    Survey& s_;
    Findings& findings_;
    const WalkSink& list_;
    std::vector<uint32_t> nextBad_;
    std::vector<uint32_t> reachTo_;  // per first block: one past the farthest last block
    uint32_t entering_ = 0;
    uint32_t current_ = 0;
    uint32_t largestDir_ = 0;
    std::string_view largestName_;
    uint32_t listedDir_ = kNoParent;
    std::string listedPath_;
};

// Bytes of the data section that no block covers. The slots after `usedEnd` (one past the
// last block in use) in its record only pad the record: they cover nothing.
uint64_t uncoveredBytes(const ArchiveIndex& index, uint64_t usedEnd) {
    std::vector<std::pair<uint64_t, uint64_t>> spans;
    uint64_t size = index.dataSize();
    for (size_t r = 0; r < index.recordCount(); ++r) {
        const BlockOffsetRecord& record = index.record(r);
        uint64_t slots = kBlocksPerRecord;
        if (usedEnd > 0 && r == (usedEnd - 1) / kBlocksPerRecord) slots = (usedEnd - 1) % kBlocksPerRecord + 1;
        uint64_t length = 0;
        for (uint64_t s = 0; s < slots; ++s) length += uint64_t(record.storedSizes[s]) + 1;
        if (record.base >= size) continue;
        spans.emplace_back(record.base, record.base + std::min(length, size - record.base));
    }
    std::sort(spans.begin(), spans.end());
    uint64_t covered = 0, reach = 0;
    for (auto [from, to] : spans) {
        from = std::max(from, reach);
        if (to > from) covered += to - from;
        reach = std::max(reach, to);
    }
    return size - covered;
}

}  // namespace

Survey surveyTree(const ArchiveIndex& index, Findings& findings, const WalkSink& list) {
    Survey survey;
    survey.reached.assign(index.treeSize(), false);
    survey.reached[0] = true;
    survey.dirs.push_back({0, kNoParent, {}, true});
    Surveyor surveyor(index, survey, findings, list);
    walkTree(index, 0, surveyor);
    surveyor.markNeededBlocks();
    survey.totals.largestPath = surveyor.largestPath();
    return survey;
}

void findUnused(const ArchiveIndex& index, const Survey& survey, Findings& findings) {
    uint64_t unreached = uint64_t(std::count(survey.reached.begin(), survey.reached.end(), false));
    if (unreached > 0) {
        findings.warning("unreachable-entries", std::to_string(unreached) + " entries no walk from the root reaches");
    }
    // Slots after the last block in use, up to the end of its record, only pad that record.
    auto lastNeeded = std::find(survey.neededBlocks.rbegin(), survey.neededBlocks.rend(), true);
    uint64_t end = lastNeeded == survey.neededBlocks.rend() ? 0 : uint64_t(survey.neededBlocks.rend() - lastNeeded);
    uint64_t padded = (end + kBlocksPerRecord - 1) / kBlocksPerRecord * kBlocksPerRecord;
    uint64_t unused =
        uint64_t(std::count(survey.neededBlocks.begin(), survey.neededBlocks.begin() + int64_t(end), false)) +
        (index.blockCount() - std::min(padded, index.blockCount()));
    if (end == 0) unused = 0;  // an archive without data has no blocks to use
    if (unused > 0) findings.warning("unused-blocks", std::to_string(unused) + " blocks no file uses");
    if (uint64_t gap = uncoveredBytes(index, end)) {
        findings.warning("uncovered-bytes", std::to_string(gap) + " bytes of the data section no block covers");
    }
}

std::vector<NeedingFile> filesNeeding(const ArchiveIndex& index, const Survey& survey, uint64_t block, size_t limit,
                                      uint64_t& total) {
    std::vector<NeedingFile> paths;
    total = 0;
    SiblingTable names;
    for (uint32_t d = 0; d < survey.dirs.size(); ++d) {
        if (!survey.dirs[d].childrenWalked) continue;
        classifyChildren(
            index, survey.dirs[d].node,
            [&](const WalkChild& c) {
                uint64_t size = index.fileSize(c.node);
                if (!c.isFile || c.status != ChildStatus::kUsable || size == 0) return;
                uint64_t first = index.fileStart(c.node) / kBlockSize;
                uint64_t last = (index.fileStart(c.node) + size - 1) / kBlockSize;
                if (block < first || block > last) return;
                if (++total <= limit) paths.push_back({c.node, walkedPath(survey.dirs, d, c.name, escapeName)});
            },
            &names);
    }
    return paths;
}

}  // namespace qev
