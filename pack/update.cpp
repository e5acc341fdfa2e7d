#include "pack/update.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>

#include "archive/read/archive_reader.h"
#include "archive/records/archive_proof.h"
#include "archive/records/integrity_record.h"
#include "archive/records/recovery_record.h"
#include "archive/records/recovery_repair.h"
#include "archive/write/parallel_blocks.h"
#include "pack/archive_output.h"
#include "pack/data_stream.h"
#include "pack/kept_copies.h"
#include "pack/merged_tree.h"
#include "pack/stored_bytes.h"
#include "shell/progress.h"
#include "shell/warning_tally.h"
#include "system/stop_signals.h"
#include "system/text.h"

namespace qev::pack {
namespace {

struct OldArchive {
    SharedIndex index;
    std::unique_ptr<InputFile> file;    // the same file, to copy stored blocks from
    std::vector<uint32_t> blockHashes;  // from its verified integrity record; empty without
    std::optional<RecoveryLayout> recoveryRecord;
    uint32_t recovery = 0;  // its recovery record's share, 0 without
    std::string path;
};

// The archive, proven against its integrity record where it has one.
OldArchive openOld(const std::string& path) {
    OldArchive old;
    auto index = ArchiveIndex::open(pathFromUtf8(path));
    if (!index) throw PackError("Cannot update " + path + ": " + describeOpenError(index.error()));
    old.index = *index;
    // An update copies blocks forward under the hashes it proves them by: only a whole
    // integrity record will do (qev-check --repair mends a damaged one).
    ArchiveProof proof = proveArchive(*old.index, /*useRecovery=*/false);
    const FoundRecord& found = proof.found;
    if (proof.blocks == BlockProof::kUnproven) {
        throw PackError("Cannot update " + path + ": its integrity record is damaged (see qev-check)");
    }
    if (!proof.mismatched.empty()) {
        throw PackError("Cannot update " + path + ": it does not match its integrity record (see qev-check)");
    }
    if (proof.blockHashes) old.blockHashes = *proof.blockHashes;
    old.file = InputFile::open(pathFromUtf8(path));
    auto opened = old.index->file().openedStatus();
    auto now = old.file ? old.file->status() : std::nullopt;
    if (!now || !opened || now->identity != opened->identity) throw PackError("Cannot read " + path + ": it changed");
    old.recoveryRecord =
        findRecoveryRecord(old.index->archiveSize(), found.footer.data(), old.index->file(), /*searchBack=*/false);
    if (old.recoveryRecord) old.recovery = old.recoveryRecord->geometry.hundredths;
    old.path = path;
    return old;
}

// The old blocks that kept files need, ascending: each keeps its content, and a file's
// blocks stay consecutive, so a file moves by whole blocks.
std::vector<uint64_t> keptBlocks(const ArchiveIndex& index, const MergedTree& tree, const writer::TreeLayout& layout) {
    std::vector<bool> needed(index.blockCount(), false);
    for (size_t node : layout.order) {
        if (!tree.isFile(node) || tree.source(node) != MergedTree::kFromArchive || tree.size(node) == 0) continue;
        uint64_t start = index.fileStart(NodeId(tree.origin(node))), size = tree.size(node);
        for (uint64_t b = start / kBlockSize; b <= (start + size - 1) / kBlockSize && b < needed.size(); ++b) {
            needed[b] = true;
        }
    }
    std::vector<uint64_t> kept;
    for (uint64_t b = 0; b < needed.size(); ++b) {
        if (needed[b]) kept.push_back(b);
    }
    return kept;
}

// The refusal for a kept block that differs from its hash: the files that need it, and
// whether the old archive's recovery record can rebuild it.
PackError damagedBlock(const OldArchive& old, const MergedTree& tree, const std::vector<size_t>& order,
                       uint64_t block) {
    std::string files;
    size_t named = 0;
    for (size_t node : order) {
        if (!tree.isFile(node) || tree.source(node) != MergedTree::kFromArchive || tree.size(node) == 0) continue;
        uint64_t start = old.index->fileStart(NodeId(tree.origin(node)));
        if (block < start / kBlockSize || block > (start + tree.size(node) - 1) / kBlockSize) continue;
        if (++named <= 3) files += (files.empty() ? "" : ", ") + tree.pathOf(node);
    }
    if (named > 3) files += " and " + std::to_string(named - 3) + " more";
    std::string text = "Cannot update " + old.path + ": block " + std::to_string(block) +
                       " differs from its hash in the integrity record (needed by " + files + ")";
    std::optional<BlockLocation> at = old.index->locateBlock(block);
    std::optional<RecoveryDamage> damage = old.recoveryRecord && at
                                               ? assessDamage(*old.recoveryRecord, old.index->file(), /*scanData=*/true)
                                               : std::nullopt;
    if (damage && damage->canRebuild(at->fileOffset, at->storedLength))
        return PackError(text + "; qev-check --repair can rebuild it");
    return PackError(text + "; see qev-check");
}

// Kept blocks copied as stored, runs that lie back to back in one copy each. With
// `verify`, each is read and checked against its hash first, so that a damaged block is
// never carried under a record made anew over it.
void copyKept(const OldArchive& old, const std::vector<uint64_t>& kept, bool verify, ArchiveOutput& out,
              const std::function<PackError(uint64_t)>& damaged) {
    const std::string& path = old.path;
    const ArchiveIndex& index = *old.index;
    std::string stored;
    std::vector<uint32_t> lengths, hashes;
    for (size_t i = 0; i < kept.size();) {
        auto first = index.locateBlock(kept[i]);
        if (!first)
            throw PackError("Cannot update " + path + ": block " + std::to_string(kept[i]) + " cannot be located");
        uint64_t end = first->fileOffset + first->storedLength;
        lengths.clear();
        hashes.clear();
        size_t j = i;
        for (; j < kept.size(); ++j) {
            auto at = index.locateBlock(kept[j]);
            if (!at)
                throw PackError("Cannot update " + path + ": block " + std::to_string(kept[j]) + " cannot be located");
            if (j > i && at->fileOffset != end) break;
            end = at->fileOffset + at->storedLength;
            lengths.push_back(at->storedLength);
            bool known = kept[j] < old.blockHashes.size();
            if (known && !verify) {
                hashes.push_back(old.blockHashes[kept[j]]);
                continue;
            }
            // No record to take the hash from, or one to check: the stored bytes are read.
            stored.resize(at->storedLength);
            if (!index.file().readAt(at->fileOffset, reinterpret_cast<uint8_t*>(stored.data()), at->storedLength)) {
                throw PackError("Cannot read " + path);
            }
            uint32_t hash = blockHash(stored);
            if (known && hash != old.blockHashes[kept[j]]) throw damaged(kept[j]);
            hashes.push_back(hash);
        }
        stopIfAsked();
        out.copyBlocks(*old.file, first->fileOffset, lengths, hashes);
        i = j;
    }
}

// The first block of [first, end) that fails to load; `first` when none does (a read
// failed for another reason).
uint64_t firstUnreadable(ArchiveReader& reader, uint64_t first, uint64_t end) {
    std::vector<uint8_t> block(kBlockSize);
    for (uint64_t b = first; b < end && b < reader.index().blockCount(); ++b) {
        if (!reader.loadBlock(b, block.data())) return b;
    }
    return first;
}

// Kept files read from the old archive (each block checked against its record) and
// written anew by the placement rules, compressed at the level asked: the bytes of removed
// files that shared their blocks are left behind. Files that shared their bytes in the old
// archive share them again. Gives each kept entry's new start.
std::unordered_map<NodeId, uint64_t> recompressKept(const OldArchive& old, const MergedTree& merged,
                                                    const std::vector<size_t>& order, const Options& o,
                                                    const writer::ParallelBlockWriter::Sink& sink,
                                                    const std::function<PackError(uint64_t)>& damaged,
                                                    ProgressLine& progress) {
    ArchiveReader reader(old.index);
    if (!old.blockHashes.empty())
        reader.checkBlocksAgainst(std::make_shared<const std::vector<uint32_t>>(old.blockHashes));
    writer::ParallelBlockWriter blocks(o.level, o.jobs, sink);
    std::unordered_map<NodeId, uint64_t> starts;
    std::map<std::pair<uint64_t, uint64_t>, uint64_t> written;  // old start and size: new start
    auto isKept = [&](size_t node) {
        return merged.isFile(node) && merged.source(node) == MergedTree::kFromArchive && merged.size(node) > 0;
    };
    // Kept files with the same bytes are stored once, as packing stores copies, even where
    // the old archive held them apart.
    KeptCopies copies(reader);
    for (size_t node : order) {
        if (isKept(node) && o.dedup) copies.count(merged.size(node));
    }
    // The line counts the kept files' bytes as they are written anew.
    ProgressCounts counts{0, 0, 0, 0};
    for (size_t node : order) {
        if (isKept(node)) ++counts.total, counts.bytesTotal += merged.size(node);
    }
    std::string piece(size_t(1) << 20, '\0');
    for (size_t node : order) {
        if (!isKept(node)) continue;
        ++counts.done;
        NodeId kept = NodeId(merged.origin(node));
        uint64_t size = merged.size(node);
        auto [at, fresh] = written.try_emplace({old.index->fileStart(kept), size}, 0);
        if (fresh) {
            std::optional<uint64_t> copy = copies.find(kept, size);
            at->second = copy ? *copy : placeFile(blocks.position(), size);
            fresh = !copy;
        }
        starts[kept] = at->second;
        if (!fresh) {
            counts.bytesDone += size;  // a copy: its bytes are stored already
            continue;
        }
        copies.written(kept, at->second);
        if (at->second != blocks.position()) blocks.padToBoundary();
        for (uint64_t done = 0; done < size;) {
            stopIfAsked();
            uint64_t n = std::min<uint64_t>(piece.size(), size - done);
            if (reader.readFile(kept, done, n, reinterpret_cast<uint8_t*>(piece.data())) != n) {
                uint64_t first = (old.index->fileStart(kept) + done) / kBlockSize;
                throw damaged(firstUnreadable(reader, first, first + (n + kBlockSize - 1) / kBlockSize + 1));
            }
            blocks.append(std::string_view(piece.data(), size_t(n)));
            done += n;
            counts.bytesDone += n;
            progress.update(counts);
        }
    }
    blocks.finish();
    return starts;
}

struct AddedFolder {
    SourceTree tree;
    std::unique_ptr<SourceDirectories> dirs;
    std::vector<uint64_t> starts;  // per node of `tree`: where its bytes start in the new stream
};

std::vector<std::unique_ptr<AddedFolder>> scanAdded(const Options& o, Console& console, ArchiveOutput& out,
                                                    ProgressLine& progress, MergedTree& merged) {
    std::vector<std::unique_ptr<AddedFolder>> folders;
    std::vector<std::string> conflicts;
    for (const std::string& dir : o.adds) {
        auto root = openDirectoryPath(dir);
        if (!root) throw PackError("Cannot read " + dir + ": " + root.error().text());
        auto folder = std::make_unique<AddedFolder>();
        folder->tree.root = pathFromUtf8(dir);
        folder->dirs = std::make_unique<SourceDirectories>(folder->tree, *root);
        WarningTally warnings(console, progress, o.quiet);
        scanSourceTree(folder->tree, *folder->dirs, out.excluded(),
                       [&](const std::string& text) { warnings.warn(text); });
        warnings.finish();
        merged.add(folder->tree, uint32_t(folders.size()), o.replace, conflicts);
        folders.push_back(std::move(folder));
    }
    if (!conflicts.empty() && !o.replace) {
        std::sort(conflicts.begin(), conflicts.end());
        UpdateRefused refused;
        for (const std::string& path : conflicts) {
            refused.lines.push_back("Already in the archive (use --replace to replace it): " + path);
        }
        throw refused;
    }
    return folders;
}

std::string summaryLine(uint64_t kept, uint64_t added, uint64_t reused, uint64_t written, uint64_t size,
                        double seconds) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "%llu files kept and %llu added, %llu blocks reused and %llu written, %s out, in %.2f s",
                  static_cast<unsigned long long>(kept), static_cast<unsigned long long>(added),
                  static_cast<unsigned long long>(reused), static_cast<unsigned long long>(written),
                  humanBytes(size).c_str(), seconds);
    return text;
}

// One update's data: the kept blocks, then the added folders; every file entry placed.
class UpdatedData {
public:
    UpdatedData(const Options& o, const PackHooks& hooks, const OldArchive& old, const MergedTree& merged,
                ArchiveOutput& out, ProgressLine& progress)
        : o_(o), hooks_(hooks), old_(old), merged_(merged), out_(out), progress_(progress) {}

    // Writes the data section, and gives every file entry of `layout` its start.
    void write(writer::TreeLayout& layout, std::vector<std::unique_ptr<AddedFolder>>& folders) {
        auto sink = [&](std::string_view stored) { out_.appendBlock(stored); };
        auto damaged = [&](uint64_t block) { return damagedBlock(old_, merged_, layout.order, block); };
        if (o_.recompress) {
            recompressed_ = recompressKept(old_, merged_, layout.order, o_, sink, damaged, progress_);
        } else {
            kept_ = keptBlocks(*old_.index, merged_, layout);
            // A record made anew reads every kept block, and one dropped took the means to
            // mend them: either way a damaged block must not pass unnoticed.
            bool verify = old_.recovery != 0 || (!o_.noRecovery && o_.recovery != 0);
            copyKept(old_, kept_, verify, out_, damaged);
        }
        ArchiveReader reader(old_.index);
        StoredBytes stored(&reader, hooks_.hashOf);
        for (size_t node : layout.order) {
            if (merged_.isFile(node) && merged_.source(node) == MergedTree::kFromArchive) {
                NodeId kept = NodeId(merged_.origin(node));
                if (merged_.size(node) > 0) stored.addKept(kept, merged_.size(node), moved(kept));
            }
        }
        ProgressCounts counts{0, 0, 0, 0};
        for (const auto& folder : folders) counts.total += folder->tree.files, counts.bytesTotal += folder->tree.bytes;
        for (const auto& folder : folders) writeAdded(*folder, stored, sink, counts);
        placeFiles(layout, folders);
    }

    uint64_t keptFiles = 0, addedFiles = 0;
    uint64_t reusedBlocks() const { return kept_.size(); }

private:
    // Where a kept entry's bytes start in the new stream: written anew, or moved with their
    // blocks.
    uint64_t moved(NodeId kept) const {
        if (o_.recompress) return recompressed_.at(kept);
        uint64_t from = old_.index->fileStart(kept);
        uint64_t block = uint64_t(std::lower_bound(kept_.begin(), kept_.end(), from / kBlockSize) - kept_.begin());
        return block * kBlockSize + from % kBlockSize;
    }

    void writeAdded(AddedFolder& folder, StoredBytes& stored, const writer::ParallelBlockWriter::Sink& sink,
                    ProgressCounts& counts) {
        writer::TreeLayout own = writer::layOutTree(folder.tree, false, true);
        // Each folder begins on a block boundary after what was written before it.
        StreamOptions options{o_.level, o_.jobs, o_.dedup, hooks_.beforeBlock, out_.blockCount() * kBlockSize};
        uint64_t filesBefore = counts.done, bytesBefore = counts.bytesDone;
        {
            DataStream stream(folder.tree, *folder.dirs, options, stored, sink);
            stream.write(own, [&](uint64_t files, uint64_t bytes, uint64_t) {
                stopIfAsked();
                counts.done = filesBefore + files;
                counts.bytesDone = bytesBefore + bytes;
                progress_.update(counts);
            });
        }
        folder.starts.assign(folder.tree.nodeCount(), 0);
        for (size_t id = 0; id < own.order.size(); ++id) {
            if (own.entries[id].isFile()) folder.starts[own.order[id]] = own.entries[id].fileStart();
        }
    }

    void placeFiles(writer::TreeLayout& layout, const std::vector<std::unique_ptr<AddedFolder>>& folders) {
        for (size_t id = 0; id < layout.order.size(); ++id) {
            size_t node = layout.order[id];
            if (!merged_.isFile(node)) continue;
            uint64_t start = 0, size = merged_.size(node);
            if (merged_.source(node) == MergedTree::kFromArchive) {
                ++keptFiles;
                if (size > 0) start = moved(NodeId(merged_.origin(node)));
            } else {
                ++addedFiles;
                if (size > 0) start = folders[merged_.source(node)]->starts[merged_.origin(node)];
            }
            layout.entries[id] = writer::fileEntry(layout.entries[id].nameOffset(), start, size);
        }
    }

    const Options& o_;
    const PackHooks& hooks_;
    const OldArchive& old_;
    const MergedTree& merged_;
    ArchiveOutput& out_;
    ProgressLine& progress_;
    std::vector<uint64_t> kept_;                         // the old blocks kept, ascending (none when recompressing)
    std::unordered_map<NodeId, uint64_t> recompressed_;  // kept entries written anew: their starts
};

// The archive's tree with the removals applied; refuses paths that name nothing.
MergedTree treeWithoutRemoved(const Options& o, const ArchiveIndex& index) {
    MergedTree merged(index);
    UpdateRefused missing;
    for (const std::string& path : o.removes) {
        if (!merged.remove(path)) missing.lines.push_back("Not in the archive: " + path);
    }
    if (!missing.lines.empty()) throw missing;
    return merged;
}

}  // namespace

void update(const Options& o, Console& console, const PackHooks& hooks) {
    auto began = std::chrono::steady_clock::now();
    bool inPlace = o.outputOption.empty();
    std::error_code ignored;
    if (!inPlace && !o.force &&
        std::filesystem::exists(std::filesystem::symlink_status(pathFromUtf8(o.output), ignored))) {
        throw PackError(TemporaryOutput::existsMessage(o.output));
    }
    auto old = std::make_unique<OldArchive>(openOld(o.update));
    MergedTree merged = treeWithoutRemoved(o, *old->index);
    bool showProgress = o.progress.value_or(console.errorIsTerminal) && !o.quiet;
    ProgressLine progress(console, showProgress, o.progressJson);
    ArchiveOutput out(o, console);
    std::vector<std::unique_ptr<AddedFolder>> folders = scanAdded(o, console, out, progress, merged);
    merged.sortChildren();
    writer::TreeLayout layout = writer::layOutTree(merged, false, /*shareNames=*/true);
    UpdatedData data(o, hooks, *old, merged, out, progress);
    data.write(layout, folders);
    uint32_t recovery = o.noRecovery ? 0 : o.recovery != 0 ? o.recovery : old->recovery;
    progress.clear();
    out.finish(layout, recovery);
    bool changed = old->index->file().changedSinceOpen();
    // Closed before the rename: Windows does not replace a file that is still open.
    old.reset();
    if (changed) throw PackError(o.update + " changed during the update");
    progress.note(kSyncingLine);
    out.commit(inPlace || o.force);
    progress.clear();
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - began;
    if (!o.quiet) {
        printLine(console, summaryLine(data.keptFiles, data.addedFiles, data.reusedBlocks(),
                                       out.blockCount() - data.reusedBlocks(), out.written(), elapsed.count()));
    }
}

}  // namespace qev::pack
