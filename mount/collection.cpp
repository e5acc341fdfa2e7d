#include "mount/collection.h"

#include <algorithm>
#include <cerrno>

#include "archive/format/names.h"
#include "mount/directory_index.h"
#include "shell/console.h"
#include "system/directory.h"
#include "system/text.h"

namespace qev::mount {
namespace {

// The file at `path` now, following a link the user put there.
std::optional<FileStatus> currentStatus(const std::string& path) {
    std::optional<FileStatus> status = linkStatus(pathFromUtf8(path));
    if (status && status->kind == FileKind::kLink) {
        std::unique_ptr<InputFile> file = InputFile::open(pathFromUtf8(path));
        status = file ? file->status() : std::nullopt;
    }
    return status;
}

bool sameFile(const FileStatus& then, const FileStatus& now) {
    return then.identity == now.identity && sameContents(then, now);
}

bool endsWithQev(const std::string& name) {
    return name.size() > 4 && equalIgnoringAsciiCase(std::string_view(name).substr(name.size() - 4), ".qev");
}

constexpr std::string_view kUnprovenReason =
    "the integrity record is damaged and no recovery record proves the blocks instead";

}  // namespace

const RootEntry* findRootEntry(const Root& root, const std::string& name, bool ignoreCase) {
    // The spelling asked for wins over a twin that differs in letter case, so that every
    // name a listing shows opens what it showed.
    auto at = root.byName.find(name);
    if (at != root.byName.end()) return &root.entries[at->second];
    if (!ignoreCase) return nullptr;
    at = root.byFolded.find(foldedAscii(name));
    return at == root.byFolded.end() ? nullptr : &root.entries[at->second];
}

Collection::Collection(std::vector<Source> sources, CollectionOptions options, std::shared_ptr<SharedCache> tablePages,
                       SharedCache& blocks, Warn warn)
    : sources_(std::move(sources)),
      options_(options),
      tablePages_(std::move(tablePages)),
      blocks_(blocks),
      warn_(std::move(warn)) {
    for (const Source& s : sources_) {
        if (s.folder) folders_.push_back({s.path, std::nullopt, {}});
        slots_.try_emplace(s.path, freshSlot(s.path));
    }
    for (const Source& s : sources_) {
        if (s.folder) slots_.erase(s.path);
    }
}

bool Collection::lookAtFolders() {
    bool changed = false;
    for (Folder& f : folders_) {
        std::optional<FileStatus> now = linkStatus(pathFromUtf8(f.path));
        if (f.seen && now && f.seen->modified == now->modified && f.seen->changed == now->changed) continue;
        // A folder that cannot be listed now (gone, or no descriptor free) keeps what it
        // showed, and is looked at again next time.
        auto dir = openDirectoryPath(f.path);
        auto listed = dir ? listDirectory(**dir) : Expected<std::vector<ListedEntry>, ListFailure>(ListFailure{});
        if (!listed) continue;
        f.seen = now;
        std::vector<std::string> archives;
        for (const ListedEntry& e : *listed) {
            bool file = e.kind == FileKind::kFile || e.kind == FileKind::kLink;
            if (file && endsWithQev(e.name)) archives.push_back(f.path + "/" + e.name);
        }
        std::sort(archives.begin(), archives.end());
        if (archives == f.archives) continue;
        changed = true;
        f.archives = std::move(archives);
        for (const std::string& a : f.archives) slots_.try_emplace(a, freshSlot(a));
    }
    if (!changed) return false;
    // Archives no source holds any more are forgotten, and their numbers with them.
    std::unordered_set<std::string> present;
    for (const Source& s : sources_) {
        if (!s.folder) present.insert(s.path);
    }
    for (const Folder& f : folders_) present.insert(f.archives.begin(), f.archives.end());
    for (auto it = slots_.begin(); it != slots_.end();) {
        if (present.contains(it->first)) {
            ++it;
            continue;
        }
        numbers_.erase(it->second.number);
        it = slots_.erase(it);
    }
    return true;
}

bool Collection::lookAtSlot(Slot& slot) {
    if (!slot.seen && !slot.failed) return true;  // not read yet
    std::optional<FileStatus> now = currentStatus(slot.path);
    // Unchanged: the same file, or still none where none could be opened.
    if (slot.seen ? now && sameFile(*slot.seen, *now) : !now) return false;
    // Replaced, rewritten, gone or come back: read afresh under a new number. What the old
    // number opened stays for whoever still reads it.
    numbers_.erase(slot.number);
    slot = freshSlot(slot.path);
    return true;
}

void Collection::fail(Slot& slot, const std::string& why) {
    slot.failed = true;
    slot.seen = currentStatus(slot.path);
    if (warned_.insert(slot.path + '\n' + why).second) warn_("Skipped " + slot.path + ": " + why);
}

Expected<std::shared_ptr<MountedArchive>, NotMounted> Collection::openFreeingDescriptors(const std::string& path) {
    auto opened = openMounted(path, tablePages_, blocks_);
    // Out of descriptors, perhaps: the archives held for speed are let go, and it is tried once more.
    if (!opened && opened.error().kind == NotMounted::Kind::kFileDidNotOpen && !held_.empty()) {
        held_.clear();
        heldAt_.clear();
        opened = openMounted(path, tablePages_, blocks_);
    }
    return opened;
}

void Collection::readRoots(Slot& slot) {
    if (slot.seen || slot.failed) return;
    auto opened = openFreeingDescriptors(slot.path);
    if (!opened) return fail(slot, opened.error().reason());
    if ((*opened)->unproven && !options_.unproven) return fail(slot, std::string(kUnprovenReason));
    install(slot, *opened);
}

void Collection::install(Slot& slot, std::shared_ptr<MountedArchive> a) {
    if (!a->provenByRecovery.empty()) {
        std::string line = a->provenByRecovery + ": " + slot.path;
        if (warned_.insert(line).second) warn_(line);
    }
    uint32_t number = ++lastNumber_;
    slot.number = number;
    slot.seen = a->status;
    numbers_[number] = slot.path;
    std::optional<DirectoryIndex> root =
        a->shape.leavesOut(0) ? DirectoryIndex{} : buildDirectoryIndex(*a->index, 0, false);
    std::string scratch;
    for (uint32_t p : root ? root->shown : std::vector<uint32_t>{}) {
        NodeId node = root->first + p;
        std::optional<std::string_view> name = a->index->nameOf(node, scratch);
        std::optional<TreeEntry> e = a->index->treeEntry(node);
        if (!name || !e) continue;
        slot.roots.push_back({std::string(*name), number, node, e->isFile(), e->isFile() ? e->fileSize() : 0,
                              a->times.st_atim, a->times.st_mtim, a->times.st_ctim});
    }
    hold(number, std::move(a));
}

std::optional<std::string> Collection::start() {
    std::lock_guard<std::mutex> lock(lock_);
    for (const Source& s : sources_) {
        if (s.folder) {
            auto dir = openDirectoryPath(s.path);
            if (!dir)
                return std::string(kErrorPrefix) + "Cannot read the folder " + s.named + ": " + dir.error().text();
            continue;
        }
        auto opened = openMounted(s.path, tablePages_, blocks_);
        if (!opened) {
            const NotMounted& why = opened.error();
            if (why.kind != NotMounted::Kind::kMismatched)
                return std::string(kFailedToOpen) + s.named + ": " + why.detail;
            return std::string(why.byRecovery ? "Error: The archive does not match its recovery record: "
                                              : "Error: The archive does not match its integrity record: ") +
                   why.detail;
        }
        if ((*opened)->unproven && !options_.unproven) {
            return "Error: Not mounted: " + s.named + ": " + std::string(kUnprovenReason) +
                   " (see qev-check; -o unproven mounts it anyway)";
        }
        install(slots_.at(s.path), *opened);
    }
    return std::nullopt;
}

void Collection::rebuildRoot() {
    auto root = std::make_shared<Root>();
    auto add = [&](Slot& slot) {
        readRoots(slot);
        for (const RootEntry& e : slot.roots) {
            const std::string& name = e.name;
            auto [at, added] = root->byName.try_emplace(name, root->entries.size());
            if (!added) {
                const std::string& first = numbers_[root->entries[at->second].number];
                std::string line =
                    name + " is in both " + first + " and " + slot.path + "; the one in " + first + " is shown";
                if (warned_.insert(line).second) warn_(line);
                continue;
            }
            if (options_.ignoreCase) root->byFolded.try_emplace(foldedAscii(name), root->entries.size());
            root->entries.push_back(e);
        }
    };
    size_t folder = 0;
    for (const Source& s : sources_) {
        if (!s.folder) {
            add(slots_.at(s.path));
            continue;
        }
        for (const std::string& a : folders_[folder].archives) add(slots_.at(a));
        ++folder;
    }
    root_ = std::move(root);
}

std::shared_ptr<const Root> Collection::listRoot() {
    std::lock_guard<std::mutex> lock(lock_);
    bool changed = lookAtFolders();
    for (auto& [path, slot] : slots_) changed = lookAtSlot(slot) || changed;
    if (changed || !root_) rebuildRoot();
    return root_;
}

std::shared_ptr<const Root> Collection::rootFor(const std::string& name) {
    std::lock_guard<std::mutex> lock(lock_);
    bool changed = lookAtFolders() || !root_;
    if (!changed) {
        if (const RootEntry* e = findRootEntry(*root_, name, options_.ignoreCase)) {
            auto path = numbers_.find(e->number);
            changed = path == numbers_.end() || lookAtSlot(slots_.at(path->second));
        } else {
            changed = lookAtSlotsForNewName();
        }
    }
    if (changed) rebuildRoot();
    return root_;
}

bool Collection::lookAtSlotsForNewName() {
    // A name no archive shows may be one an update has just added: every archive is looked
    // at again, but at most once a second, so that lookups of names that exist nowhere (a
    // shell's probing, say) cost no more than a stat of each archive a second.
    auto now = std::chrono::steady_clock::now();
    if (lastUnknownLook_ && now - *lastUnknownLook_ < std::chrono::seconds(1)) return false;
    lastUnknownLook_ = now;
    bool changed = false;
    for (auto& [path, slot] : slots_) changed = lookAtSlot(slot) || changed;
    return changed;
}

void Collection::readFailed(const MountedArchive& archive) {
    std::string line = "Cannot read all of " + archive.path + ": a block is damaged or missing (qev-check " +
                       archive.path + " says which)";
    std::lock_guard<std::mutex> lock(lock_);
    if (warned_.insert(line + '\n' + std::to_string(archive.blockOwner)).second) warn_(line);
}

Expected<std::shared_ptr<MountedArchive>, int> Collection::archive(uint32_t number) {
    std::lock_guard<std::mutex> lock(lock_);
    if (auto at = heldAt_.find(number); at != heldAt_.end()) {
        held_.splice(held_.begin(), held_, at->second);
        return at->second->second;
    }
    auto path = numbers_.find(number);
    if (path == numbers_.end()) return ESTALE;
    return openLocked(number, slots_.at(path->second));
}

Expected<std::shared_ptr<MountedArchive>, int> Collection::openLocked(uint32_t number, Slot& slot) {
    auto opened = openFreeingDescriptors(slot.path);
    if (!opened) return EIO;
    // Opened again after it was let go: it must still be the file whose roots were read.
    if (!slot.seen || !sameFile(*slot.seen, (*opened)->status)) {
        numbers_.erase(number);
        slot = freshSlot(slot.path);
        return ESTALE;
    }
    hold(number, *opened);
    return *opened;
}

void Collection::hold(uint32_t number, std::shared_ptr<MountedArchive> archive) {
    held_.emplace_front(number, std::move(archive));
    heldAt_[number] = held_.begin();
    while (held_.size() > std::max(1u, options_.maxOpen)) {
        heldAt_.erase(held_.back().first);
        held_.pop_back();
    }
}

size_t Collection::openCount() {
    std::lock_guard<std::mutex> lock(lock_);
    return held_.size();
}

}  // namespace qev::mount
