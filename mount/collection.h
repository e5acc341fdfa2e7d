// The archives of a mount: each SOURCE an archive or a folder of archives, their root
// entries merged into the mount's root, and a bounded set of them held open.
//
// Every archive gets a number for each time it is seen anew (first sight, or replaced on
// disk); inode numbers carry it in their high 32 bits, so the kernel never mixes what an
// archive held before it was replaced with what it holds now. Archives are opened on first
// use and at most `maxOpen` are held, least recently used out first: descriptors and
// memory stay bounded however many there are. Whoever still reads one (an open file)
// keeps it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "archive/read/shared_cache.h"
#include "mount/mounted_archive.h"
#include "system/expected.h"
#include "system/file.h"

namespace qev::mount {

struct Source {
    std::string path;   // absolute
    std::string named;  // as the user typed it
    bool folder = false;
};

struct CollectionOptions {
    unsigned maxOpen = 64;
    bool unproven = false;    // mount archives whose blocks nothing proves
    bool ignoreCase = false;  // root lookups ignore ASCII letter case
};

struct RootEntry {
    std::string name;
    uint32_t number;  // the archive's
    NodeId node;
    // What the root's listing and lookups show without opening the archive again.
    bool isFile;
    uint64_t size;
    struct timespec accessed, modified, changed;  // the archive's
};

// The mount's root as it is at one moment; replaced whole when a source changes.
struct Root {
    std::vector<RootEntry> entries;  // in source order, each archive's in stored order
    std::unordered_map<std::string, size_t> byName;
    std::unordered_map<std::string, size_t> byFolded;  // only to ignore case: the first of each
};

// The entry `name` names: of that exact spelling, or ignoring case the first as stored.
const RootEntry* findRootEntry(const Root& root, const std::string& name, bool ignoreCase);

class Collection {
public:
    using Warn = std::function<void(const std::string&)>;
    Collection(std::vector<Source> sources, CollectionOptions options, std::shared_ptr<SharedCache> tablePages,
               SharedCache& blocks, Warn warn);

    // Opens each archive named as a SOURCE and lists each folder, once, before mounting:
    // the line for people saying why one cannot be mounted (its path, as named, first), or
    // nothing.
    std::optional<std::string> start();
    // The root, after looking at every source and archive again for changes: for listing it.
    std::shared_ptr<const Root> listRoot();
    // The root, after looking again at the folders and at the archive holding `name` (at
    // every archive, at most once a second, when none holds it): for looking a name up in it.
    std::shared_ptr<const Root> rootFor(const std::string& name);
    // The archive of number `number`, opened if need be: ESTALE when it has been replaced
    // or removed since, EIO when it no longer opens.
    Expected<std::shared_ptr<MountedArchive>, int> archive(uint32_t number);
    // How many archives are held open (open files aside).
    size_t openCount();
    // A read of `archive` failed on a damaged or missing block: said once for each sight of
    // an archive, where its warnings go (the terminal, or the system log once detached).
    void readFailed(const MountedArchive& archive);

private:
    struct Slot {
        std::string path;
        std::optional<FileStatus> seen;  // the file when its roots were read
        uint32_t number = 0;             // of its current sight; 0 before it is read
        bool failed = false;             // it could not be mounted as it is (warned once)
        std::vector<RootEntry> roots;
    };
    static Slot freshSlot(const std::string& path) {
        Slot s;
        s.path = path;
        return s;
    }
    struct Folder {
        std::string path;
        std::optional<FileStatus> seen;
        std::vector<std::string> archives;  // full paths, in name order
    };

    bool lookAtFolders();
    bool lookAtSlot(Slot& slot);
    bool lookAtSlotsForNewName();
    void readRoots(Slot& slot);
    void fail(Slot& slot, const std::string& why);
    void install(Slot& slot, std::shared_ptr<MountedArchive> archive);
    void rebuildRoot();
    Expected<std::shared_ptr<MountedArchive>, int> openLocked(uint32_t number, Slot& slot);
    Expected<std::shared_ptr<MountedArchive>, NotMounted> openFreeingDescriptors(const std::string& path);
    void hold(uint32_t number, std::shared_ptr<MountedArchive> archive);

    std::vector<Source> sources_;
    CollectionOptions options_;
    std::shared_ptr<SharedCache> tablePages_;
    SharedCache& blocks_;
    Warn warn_;

    std::mutex lock_;
    std::vector<Folder> folders_;                        // one per folder source, in source order
    std::unordered_map<std::string, Slot> slots_;        // by path
    std::unordered_map<uint32_t, std::string> numbers_;  // current numbers, to their paths
    uint32_t lastNumber_ = 0;
    std::optional<std::chrono::steady_clock::time_point> lastUnknownLook_;
    std::shared_ptr<const Root> root_;
    std::unordered_set<std::string> warned_;
    using Held = std::pair<uint32_t, std::shared_ptr<MountedArchive>>;
    std::list<Held> held_;  // most recently used first
    std::unordered_map<uint32_t, std::list<Held>::iterator> heldAt_;
};

}  // namespace qev::mount
