// What a mount shows, independent of FUSE so that it can be tested in process: inodes,
// their attributes, lookups, listings and reads over the archives of a Collection.
//
// An inode is an archive's number in the high 32 bits and its NodeId plus one in the low
// ones; inode 1 is the mount's root, which shows every archive's root entries. Nothing is
// kept per inode: what a lookup needs of a directory is its index (DirectoryCache), and
// every archive's decompressed blocks share one cache.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "archive/read/block_decoder.h"
#include "archive/read/shared_cache.h"
#include "mount/collection.h"
#include "mount/directory_index.h"
#include "system/expected.h"

namespace qev::mount {

inline constexpr uint64_t kRootInode = 1;
inline uint64_t inodeOf(uint32_t number, NodeId node) { return uint64_t(number) << 32 | (uint64_t(node) + 1); }
inline uint32_t numberOf(uint64_t inode) { return uint32_t(inode >> 32); }
inline NodeId nodeOf(uint64_t inode) { return NodeId(uint32_t(inode) - 1); }

struct MountSettings {
    struct stat rootTimes {};  // the times the root shows
    uid_t uid = 0;
    gid_t gid = 0;
    unsigned readers = 1;  // decompressions at once
    bool ignoreCase = false;
    size_t directoryBudget = size_t(1) << 20;  // bytes of directory indexes kept
};

// A file opened through the mount: it keeps the archive it was opened in, whatever happens
// to the archive's file afterwards.
struct OpenFile {
    std::shared_ptr<MountedArchive> archive;
    NodeId node;
    uint64_t start;  // in the data stream
    uint64_t size;
};

// A directory opened for listing: the root as it was, or one directory's index.
struct OpenDirectory {
    std::shared_ptr<const Root> root;
    std::shared_ptr<MountedArchive> archive;
    std::shared_ptr<const DirectoryIndex> index;
    uint64_t inode;
};

class MountTree {
public:
    MountTree(Collection& collection, SharedCache& blocks, MountSettings settings);

    // Answers carry an errno value when they fail: ENOENT, ENOTDIR, EIO, ESTALE.
    Expected<struct stat, int> lookup(uint64_t parent, const std::string& name);
    Expected<struct stat, int> attributes(uint64_t inode);
    Expected<std::unique_ptr<OpenDirectory>, int> openDirectory(uint64_t inode);
    // Entries of an opened directory from `offset` on (0 ".", 1 "..", then the children),
    // each given to `add` with its inode and kind and the offset of the next, until it
    // returns false.
    using AddEntry = std::function<bool(const std::string& name, const struct stat& st, uint64_t next)>;
    int list(const OpenDirectory& dir, uint64_t offset, const AddEntry& add);
    Expected<std::unique_ptr<OpenFile>, int> openFile(uint64_t inode);
    // Bytes read into `buffer`, or -EIO when a block of the range cannot be read.
    long read(const OpenFile& file, uint64_t offset, size_t size, char* buffer);

private:
    struct Decoder {
        BlockDecoder decoder;
        FixedArray<uint8_t> block = FixedArray<uint8_t>::uninitialized(kBlockSize);
    };

    // An inode's archive, NodeId and tree entry: ENOENT for what the mount does not show,
    // EIO for an entry that cannot be read, ESTALE for an archive replaced since.
    struct Entry {
        std::shared_ptr<MountedArchive> archive;
        NodeId node;
        TreeEntry tree;
    };
    Expected<Entry, int> entry(uint64_t inode);
    struct stat statOf(uint64_t inode, bool isFile, uint64_t size, const struct stat& times) const;
    struct stat statOf(const RootEntry& e) const;
    Expected<std::shared_ptr<const DirectoryIndex>, int> directory(uint32_t number, const MountedArchive& a,
                                                                   NodeId node);
    bool loadBlock(const MountedArchive& a, uint64_t block, uint32_t within, uint32_t length, uint8_t* out);
    Decoder* takeDecoder();
    void giveBack(Decoder* d);

    Collection& collection_;
    SharedCache& blocks_;
    MountSettings settings_;
    DirectoryCache directories_;

    // Made as reads need them, up to settings_.readers: a mount that is only listed has none.
    std::vector<std::unique_ptr<Decoder>> decoders_;
    std::mutex poolLock_;
    std::condition_variable decoderFree_;
    std::vector<Decoder*> freeDecoders_;
};

}  // namespace qev::mount
