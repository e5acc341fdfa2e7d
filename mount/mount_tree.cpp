#include "mount/mount_tree.h"

#include <algorithm>
#include <cerrno>

#include "archive/names.h"
#include "archive/tree_walk.h"

namespace qev::mount {
namespace {

class Placement : public WalkVisitor {
public:
    explicit Placement(std::unordered_map<NodeId, NodeId>& shownUnder) : shownUnder_(shownUnder) {}
    void child(const WalkChild& c) override {
        if (!c.isFile && c.status == ChildStatus::kUsable) shownUnder_.emplace(c.node, c.parent);
    }

private:
    std::unordered_map<NodeId, NodeId>& shownUnder_;
};

}  // namespace

MountTree::MountTree(SharedIndex index, const struct stat& archive, uid_t uid, gid_t gid,
                     unsigned readers, std::shared_ptr<const std::vector<uint32_t>> blockHashes)
    : index_(std::move(index)), archive_(archive), uid_(uid), gid_(gid) {
    for (unsigned i = 0; i < std::max(1u, readers); ++i) {
        readers_.push_back(std::make_unique<ArchiveReader>(index_));
        if (blockHashes) readers_.back()->checkBlocksAgainst(blockHashes);
        freeReaders_.push_back(readers_.back().get());
    }
    placeDirectories();
}

void MountTree::placeDirectories() {
    shownUnder_.emplace(0, kInvalidNode);
    Placement placement(shownUnder_);
    walkTree(*index_, 0, placement);
}

ArchiveReader* MountTree::takeReader() {
    std::unique_lock<std::mutex> lock(poolLock_);
    readerFree_.wait(lock, [&] { return !freeReaders_.empty(); });
    ArchiveReader* r = freeReaders_.back();
    freeReaders_.pop_back();
    return r;
}

void MountTree::giveBack(ArchiveReader* reader) {
    {
        std::lock_guard<std::mutex> lock(poolLock_);
        freeReaders_.push_back(reader);
    }
    readerFree_.notify_one();
}

std::unique_ptr<DirectoryIndex> MountTree::buildIndex(NodeId node) const {
    auto index = std::make_unique<DirectoryIndex>();
    classifyChildren(*index_, node, [&](const WalkChild& c) {
        if (c.status != ChildStatus::kUsable) return;
        if (!c.isFile) {
            auto placed = shownUnder_.find(c.node);
            if (placed == shownUnder_.end() || placed->second != node) return;
        }
        index->children.push_back(c.node);
    });
    auto name = [&](NodeId n) { return index_->entryName(n); };
    index->byName = index->children;
    std::sort(index->byName.begin(), index->byName.end(),
              [&](NodeId a, NodeId b) { return name(a) < name(b); });
    index->byFolded = index->children;
    std::stable_sort(index->byFolded.begin(), index->byFolded.end(),
                     [&](NodeId a, NodeId b) { return lessIgnoringAsciiCase(name(a), name(b)); });
    return index;
}

const DirectoryIndex* MountTree::directory(NodeId node) {
    if (!shownUnder_.contains(node)) return nullptr;
    std::lock_guard<std::mutex> lock(indexLock_);
    std::unique_ptr<DirectoryIndex>& slot = indexes_[node];
    if (!slot) slot = buildIndex(node);
    return slot.get();
}

NodeId MountTree::lookup(NodeId dir, std::string_view name) {
    const DirectoryIndex* index = directory(dir);
    if (index == nullptr) return kInvalidNode;
    auto stored = [&](NodeId n) { return index_->entryName(n); };
    auto exact = std::lower_bound(index->byName.begin(), index->byName.end(), name,
                                  [&](NodeId n, std::string_view want) { return stored(n) < want; });
    if (exact != index->byName.end() && stored(*exact) == name) return *exact;
    auto folded = std::lower_bound(index->byFolded.begin(), index->byFolded.end(), name,
                                   [&](NodeId n, std::string_view want) { return lessIgnoringAsciiCase(stored(n), want); });
    if (folded != index->byFolded.end() && equalIgnoringAsciiCase(stored(*folded), name)) return *folded;
    return kInvalidNode;
}

struct stat MountTree::attributes(NodeId node) const {
    struct stat st {};
    st.st_ino = inodeOf(node);
    st.st_uid = uid_;
    st.st_gid = gid_;
    st.st_atim = archive_.st_atim;
    st.st_mtim = archive_.st_mtim;
    st.st_ctim = archive_.st_ctim;
    st.st_blksize = kBlockSize;
    if (index_->isDirectory(node)) {
        st.st_mode = S_IFDIR | 0555;
        st.st_nlink = 2;
    } else {
        // A file under several directories still has one link: each is the same bytes.
        st.st_mode = S_IFREG | 0444;
        st.st_nlink = 1;
        st.st_size = off_t(index_->fileSize(node));
        st.st_blocks = blkcnt_t((index_->fileSize(node) + 511) / 512);
    }
    return st;
}

long MountTree::read(NodeId file, uint64_t offset, size_t size, char* buffer) {
    uint64_t fileSize = index_->fileSize(file);
    if (offset >= fileSize || size == 0) return 0;
    ArchiveReader* r = takeReader();
    uint64_t got = r->readFile(file, offset, size, reinterpret_cast<uint8_t*>(buffer));
    giveBack(r);
    // Never wrong or zero-filled bytes: a block that fails fails the whole read.
    return got == 0 ? -EIO : long(got);
}

}  // namespace qev::mount
