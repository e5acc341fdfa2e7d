// What a mounted archive shows: which children are visible, how names are looked up, and
// the attributes of each entry. Independent of FUSE, so it can be tested in process.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "archive/archive_reader.h"

namespace qev::mount {

// A directory's visible children, built once when the directory is first used. Names stay
// in the archive's name table: an index costs 12 bytes a child.
struct DirectoryIndex {
    std::vector<NodeId> children;  // in tree order, without hidden names or later duplicates
    std::vector<NodeId> byName;    // sorted by the names' bytes
    std::vector<NodeId> byFolded;  // sorted by the names with ASCII letters folded, ties in tree order
};

// Inodes are NodeIds plus one, so that the root is inode 1.
inline uint64_t inodeOf(NodeId node) { return uint64_t(node) + 1; }
inline NodeId nodeOf(uint64_t inode) {
    return inode == 0 || inode > 0xFFFFFFFF ? kInvalidNode : NodeId(inode - 1);
}

class MountTree {
public:
    // `archive` is the archive file's own status: its times and owner are shown. Reads are
    // served by `readers` readers of the one opened archive, each with its own cache, so
    // concurrent reads (the kernel's read-ahead among them) decompress on several cores.
    // With `blockHashes` (the integrity record's), a block that does not match them reads
    // as a damaged one: EIO.
    MountTree(SharedIndex index, const struct stat& archive, uid_t uid, gid_t gid,
              unsigned readers = 1, std::shared_ptr<const std::vector<uint32_t>> blockHashes = nullptr);

    const ArchiveIndex& index() const { return *index_; }
    // Whether the mount shows `node`: a file, or a directory the walk placed.
    bool shows(NodeId node) const { return index_->isFile(node) || shownUnder_.contains(node); }
    // Null for anything that is not a directory the mount shows.
    const DirectoryIndex* directory(NodeId node);
    // The exact name first, then the name without regard to ASCII letter case.
    NodeId lookup(NodeId directory, std::string_view name);
    struct stat attributes(NodeId node) const;
    // Bytes read into `buffer`, or -EIO when a block of the range cannot be read.
    long read(NodeId file, uint64_t offset, size_t size, char* buffer);
    size_t readerCount() const { return readers_.size(); }

    // Whether the kernel agreed to skip open and release: set once by init, read by every
    // worker thread.
    std::atomic<bool> noOpen{false};

private:
    void placeDirectories();
    std::unique_ptr<DirectoryIndex> buildIndex(NodeId node) const;
    ArchiveReader* takeReader();
    void giveBack(ArchiveReader* reader);

    SharedIndex index_;
    struct stat archive_;
    uid_t uid_;
    gid_t gid_;
    // Each directory the mount shows, and the one parent it is shown under: the first
    // through which a walk from the root reaches it. Elsewhere it is left out, so the kernel
    // never sees a loop or two paths to one directory.
    std::unordered_map<NodeId, NodeId> shownUnder_;
    std::mutex indexLock_;
    std::unordered_map<NodeId, std::unique_ptr<DirectoryIndex>> indexes_;

    std::vector<std::unique_ptr<ArchiveReader>> readers_;
    std::mutex poolLock_;
    std::condition_variable readerFree_;
    std::vector<ArchiveReader*> freeReaders_;  // the readers no read is using
};

}  // namespace qev::mount
