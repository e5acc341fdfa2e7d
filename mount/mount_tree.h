// What a mounted archive shows: which children are visible, how names are looked up, and
// the attributes of each entry. Independent of FUSE, so it can be tested in process.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

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

// A child can be shown as a file name unless it is empty or undecodable, holds '/' or a
// zero byte, or is "." or "..".
bool isShowableName(std::string_view name);

// A directory's visible children, built once when the directory is first used.
struct DirectoryIndex {
    std::vector<NodeId> children;  // in tree order, without hidden names or later duplicates
    std::unordered_map<std::string_view, NodeId> exact;
    std::unordered_map<std::string, NodeId> folded;  // ASCII letters folded; first one wins
};

// Inodes are NodeIds plus one, so that the root is inode 1.
inline uint64_t inodeOf(NodeId node) { return uint64_t(node) + 1; }
inline NodeId nodeOf(uint64_t inode) {
    return inode == 0 || inode > 0xFFFFFFFF ? kInvalidNode : NodeId(inode - 1);
}

class MountTree {
public:
    // `archive` is the archive file's own status: its times and owner are shown.
    MountTree(ArchiveReader& reader, const struct stat& archive, uid_t uid, gid_t gid);

    // Null for anything that is not a directory.
    const DirectoryIndex* directory(NodeId node);
    // The exact name first, then the name without regard to ASCII letter case.
    NodeId lookup(NodeId directory, std::string_view name);
    struct stat attributes(NodeId node) const;
    // Bytes read into `buffer`, or -EIO when a block of the range cannot be read.
    long read(NodeId file, uint64_t offset, size_t size, char* buffer);

    // More readers of the same archive for reads: one reader decompresses one block at a
    // time behind its lock, so concurrent reads (the kernel's read-ahead among them) each
    // take a free reader and decompress on another core.
    void addReader(std::unique_ptr<ArchiveReader> reader);

    ArchiveReader& reader() { return reader_; }

private:
    std::unique_ptr<DirectoryIndex> buildIndex(NodeId node) const;
    ArchiveReader* takeReader();
    void giveBack(ArchiveReader* reader);

    ArchiveReader& reader_;
    struct stat archive_;
    uid_t uid_;
    gid_t gid_;
    std::mutex indexLock_;
    std::unordered_map<NodeId, std::unique_ptr<DirectoryIndex>> indexes_;

    std::vector<std::unique_ptr<ArchiveReader>> extraReaders_;
    std::mutex poolLock_;
    std::condition_variable readerFree_;
    std::vector<ArchiveReader*> freeReaders_;  // the readers no read is using
};

}  // namespace qev::mount
