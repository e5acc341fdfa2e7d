#include "mount/mount_tree.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qev::mount {

MountTree::MountTree(Collection& collection, SharedCache& blocks, MountSettings settings)
    : collection_(collection), blocks_(blocks), settings_(settings), directories_(settings.directoryBudget) {
    settings_.readers = std::max(1u, settings_.readers);
}

struct stat MountTree::statOf(uint64_t inode, bool isFile, uint64_t size, const struct stat& times) const {
    struct stat st {};
    st.st_ino = inode;
    st.st_uid = settings_.uid;
    st.st_gid = settings_.gid;
    st.st_atim = times.st_atim;
    st.st_mtim = times.st_mtim;
    st.st_ctim = times.st_ctim;
    st.st_blksize = kBlockSize;
    // A file under several directories still has one link: each is the same bytes.
    st.st_mode = isFile ? S_IFREG | 0444 : S_IFDIR | 0555;
    st.st_nlink = isFile ? 1 : 2;
    st.st_size = off_t(size);
    st.st_blocks = blkcnt_t((size + 511) / 512);
    return st;
}

struct stat MountTree::statOf(const RootEntry& e) const {
    struct stat times {};
    times.st_atim = e.accessed;
    times.st_mtim = e.modified;
    times.st_ctim = e.changed;
    return statOf(inodeOf(e.number, e.node), e.isFile, e.size, times);
}

Expected<MountTree::Entry, int> MountTree::entry(uint64_t inode) {
    auto a = collection_.archive(numberOf(inode));
    if (!a) return a.error();
    // Node 0 is each archive's own root, which the mount's root stands for.
    NodeId node = nodeOf(inode);
    std::optional<TreeEntry> e = node == 0 ? std::nullopt : (*a)->index->treeEntry(node);
    if (!e) return node == 0 || node >= (*a)->index->treeSize() ? ENOENT : EIO;
    return Entry{*a, node, *e};
}

Expected<struct stat, int> MountTree::attributes(uint64_t inode) {
    if (inode == kRootInode) return statOf(kRootInode, false, 0, settings_.rootTimes);
    auto e = entry(inode);
    if (!e) return e.error();
    return statOf(inode, e->tree.isFile(), e->tree.isFile() ? e->tree.fileSize() : 0, e->archive->times);
}

Expected<std::shared_ptr<const DirectoryIndex>, int> MountTree::directory(uint32_t number, const MountedArchive& a,
                                                                          NodeId node) {
    uint64_t key = uint64_t(number) << 32 | node;
    if (auto known = directories_.find(key)) return known;
    std::optional<TreeEntry> e = a.index->treeEntry(node);
    if (!e) return EIO;
    if (e->isFile()) return ENOTDIR;
    // A directory whose children would give some entry a second parent shows none.
    if (a.shape.leavesOut(node)) return EIO;
    std::optional<DirectoryIndex> built = buildDirectoryIndex(*a.index, node, settings_.ignoreCase);
    if (!built) return EIO;
    auto index = std::make_shared<const DirectoryIndex>(std::move(*built));
    directories_.keep(key, index);
    return index;
}

Expected<struct stat, int> MountTree::lookup(uint64_t parent, const std::string& name) {
    uint32_t number = numberOf(parent);
    NodeId node = kInvalidNode;
    if (parent == kRootInode) {
        std::shared_ptr<const Root> root = collection_.rootFor(name);
        const RootEntry* e = findRootEntry(*root, name, settings_.ignoreCase);
        if (e == nullptr) return ENOENT;
        return statOf(*e);
    } else {
        auto a = collection_.archive(number);
        if (!a) return a.error();
        auto dir = directory(number, **a, nodeOf(parent));
        if (!dir) return dir.error();
        Found found = findChild(*(*a)->index, **dir, name, settings_.ignoreCase, node);
        if (found != Found::kYes) return found == Found::kNo ? ENOENT : EIO;
    }
    return attributes(inodeOf(number, node));
}

Expected<std::unique_ptr<OpenDirectory>, int> MountTree::openDirectory(uint64_t inode) {
    auto open = std::make_unique<OpenDirectory>();
    open->inode = inode;
    if (inode == kRootInode) {
        open->root = collection_.listRoot();
        return open;
    }
    auto a = collection_.archive(numberOf(inode));
    if (!a) return a.error();
    if (nodeOf(inode) == 0) return ENOENT;
    auto dir = directory(numberOf(inode), **a, nodeOf(inode));
    if (!dir) return dir.error();
    open->archive = *a;
    open->index = *dir;
    return open;
}

int MountTree::list(const OpenDirectory& dir, uint64_t offset, const AddEntry& add) {
    size_t count = dir.root ? dir.root->entries.size() : dir.index->shown.size();
    std::string scratch;
    for (uint64_t at = offset; at < 2 + count; ++at) {
        struct stat st {};
        std::string name;
        if (at < 2) {
            name = at == 0 ? "." : "..";
            st.st_ino = dir.inode;
            st.st_mode = S_IFDIR | 0555;
        } else if (dir.root) {
            const RootEntry& e = dir.root->entries[at - 2];
            name = e.name;
            st.st_ino = inodeOf(e.number, e.node);
            st.st_mode = e.isFile ? S_IFREG : S_IFDIR;
        } else {
            const MountedArchive& a = *dir.archive;
            NodeId node = dir.index->first + dir.index->shown[at - 2];
            std::optional<TreeEntry> e = a.index->treeEntry(node);
            std::optional<std::string_view> stored = e ? a.index->nameOf(*e, scratch) : std::nullopt;
            if (!stored) return EIO;
            name = *stored;
            st.st_ino = inodeOf(numberOf(dir.inode), node);
            st.st_mode = e->isFile() ? S_IFREG : S_IFDIR;
        }
        if (!add(name, st, at + 1)) break;
    }
    return 0;
}

Expected<std::unique_ptr<OpenFile>, int> MountTree::openFile(uint64_t inode) {
    if (inode == kRootInode) return EISDIR;
    auto e = entry(inode);
    if (!e) return e.error();
    if (!e->tree.isFile()) return EISDIR;
    return std::make_unique<OpenFile>(OpenFile{e->archive, e->node, e->tree.fileStart(), e->tree.fileSize()});
}

MountTree::Decoder* MountTree::takeDecoder() {
    std::unique_lock<std::mutex> lock(poolLock_);
    if (freeDecoders_.empty() && decoders_.size() < settings_.readers) {
        decoders_.push_back(std::make_unique<Decoder>());
        return decoders_.back().get();
    }
    decoderFree_.wait(lock, [&] { return !freeDecoders_.empty(); });
    Decoder* d = freeDecoders_.back();
    freeDecoders_.pop_back();
    return d;
}

void MountTree::giveBack(Decoder* d) {
    {
        std::lock_guard<std::mutex> lock(poolLock_);
        freeDecoders_.push_back(d);
    }
    decoderFree_.notify_one();
}

bool MountTree::loadBlock(const MountedArchive& a, uint64_t block, uint32_t within, uint32_t length, uint8_t* out) {
    // Keys: the archive's owner number above the block index (below 2^31).
    uint64_t key = uint64_t(a.blockOwner) << 32 | block;
    if (blocks_.copyOut(key, within, out, length)) return true;
    Decoder* d = takeDecoder();
    bool whole = length == kBlockSize;
    // A block wanted whole goes straight to the caller: a sequential read would only push
    // out of the cache what other reads share.
    uint8_t* into = whole ? out : d->block.data();
    bool loaded = d->decoder.load(*a.index, a.blockHashes.get(), block, into);
    if (loaded && !whole) {
        blocks_.store(key, into);
        std::memcpy(out, into + within, length);
    }
    giveBack(d);
    return loaded;
}

long MountTree::read(const OpenFile& file, uint64_t offset, size_t size, char* buffer) {
    if (offset >= file.size || size == 0) return 0;
    uint64_t count = std::min<uint64_t>(size, file.size - offset);
    uint64_t stream = file.start + offset;  // both below 2^48
    auto* out = reinterpret_cast<uint8_t*>(buffer);
    for (uint64_t done = 0; done < count;) {
        uint32_t within = uint32_t(stream % kBlockSize);
        uint32_t n = uint32_t(std::min<uint64_t>(kBlockSize - within, count - done));
        // Never wrong or zero-filled bytes: a block that fails fails the whole read.
        if (!loadBlock(*file.archive, stream / kBlockSize, within, n, out + done)) {
            collection_.readFailed(*file.archive);
            return -EIO;
        }
        done += n;
        stream += n;
    }
    // Bytes read from a file rewritten or cut in place may be wrong.
    if (file.archive->index->file().changedSinceOpen()) return -EIO;
    return long(count);
}

}  // namespace qev::mount
