#include "mount/mount_tree.h"

#include <cerrno>

namespace qev::mount {
namespace {

std::string foldAscii(std::string_view name) {
    std::string out(name);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = char(c + ('a' - 'A'));
    }
    return out;
}

}  // namespace

bool isShowableName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

MountTree::MountTree(ArchiveReader& reader, const struct stat& archive, uid_t uid, gid_t gid)
    : reader_(reader), archive_(archive), uid_(uid), gid_(gid), freeReaders_{&reader} {}

void MountTree::addReader(std::unique_ptr<ArchiveReader> reader) {
    std::lock_guard<std::mutex> lock(poolLock_);
    freeReaders_.push_back(reader.get());
    extraReaders_.push_back(std::move(reader));
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
    uint32_t count = reader_.entryCount(node);
    for (uint32_t i = 0; i < count; ++i) {
        DirEntryInfo info;
        if (!reader_.entryAt(node, i, info) || !isShowableName(info.name)) continue;
        NodeId child = reader_.childAt(node, i);
        if (!index->exact.emplace(info.name, child).second) continue;  // a later exact duplicate
        index->children.push_back(child);
        index->folded.emplace(foldAscii(info.name), child);
    }
    return index;
}

const DirectoryIndex* MountTree::directory(NodeId node) {
    if (!reader_.isDirectory(node)) return nullptr;
    std::lock_guard<std::mutex> lock(indexLock_);
    std::unique_ptr<DirectoryIndex>& slot = indexes_[node];
    if (!slot) slot = buildIndex(node);
    return slot.get();
}

NodeId MountTree::lookup(NodeId dir, std::string_view name) {
    const DirectoryIndex* index = directory(dir);
    if (index == nullptr) return kInvalidNode;
    if (auto it = index->exact.find(name); it != index->exact.end()) return it->second;
    if (auto it = index->folded.find(foldAscii(name)); it != index->folded.end()) return it->second;
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
    if (reader_.isDirectory(node)) {
        st.st_mode = S_IFDIR | 0555;
        st.st_nlink = 2;
    } else {
        st.st_mode = S_IFREG | 0444;
        st.st_nlink = 1;
        st.st_size = off_t(reader_.fileSize(node));
        st.st_blocks = blkcnt_t((reader_.fileSize(node) + 511) / 512);
    }
    return st;
}

long MountTree::read(NodeId file, uint64_t offset, size_t size, char* buffer) {
    uint64_t fileSize = reader_.fileSize(file);
    if (offset >= fileSize || size == 0) return 0;
    ArchiveReader* r = takeReader();
    uint64_t got = r->readFile(file, offset, size, reinterpret_cast<uint8_t*>(buffer));
    giveBack(r);
    // Never wrong or zero-filled bytes: a block that fails fails the whole read.
    return got == 0 ? -EIO : long(got);
}

}  // namespace qev::mount
