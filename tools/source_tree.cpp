#include "tools/source_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "archive/tree_walk.h"

namespace qev::pack {
namespace {

struct Listed {
    std::string name;
    struct stat st;
};

// The entries of one directory, sorted by their names' bytes.
std::vector<Listed> listDirectory(const std::filesystem::path& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) throw PackError("Cannot read " + dir.string() + ": " + std::strerror(errno));
    std::vector<Listed> out;
    errno = 0;
    while (dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        Listed l{e->d_name, {}};
        if (::fstatat(::dirfd(d), e->d_name, &l.st, AT_SYMLINK_NOFOLLOW) != 0) {
            std::string why = std::strerror(errno);
            ::closedir(d);
            throw PackError("Cannot read " + (dir / l.name).string() + ": " + why);
        }
        out.push_back(std::move(l));
        errno = 0;
    }
    int failed = errno;
    ::closedir(d);
    if (failed != 0) throw PackError("Cannot read " + dir.string() + ": " + std::strerror(failed));
    std::sort(out.begin(), out.end(), [](const Listed& a, const Listed& b) { return a.name < b.name; });
    return out;
}

bool isExcluded(const struct stat& st, const std::vector<Excluded>& excluded) {
    return std::any_of(excluded.begin(), excluded.end(),
                       [&](const Excluded& e) { return e.device == st.st_dev && e.inode == st.st_ino; });
}

// Names qev-tool would not find as they stand.
void warnAboutNames(const SourceTree& tree, size_t dir, const WarningReport& warn) {
    SiblingNames names(uint32_t(tree.childCount(dir)));
    for (size_t k = 0; k < tree.childCount(dir); ++k) {
        size_t child = tree.child(dir, k);
        std::string_view name = tree.name(child);
        if (names.add(name) == SiblingNames::Seen::kCaseOnly) {
            warn("Name differs from a sibling's only in letter case, qev-tool finds the first: " +
                 tree.pathOf(child).string());
        }
        if (name.find('\\') != std::string_view::npos) {
            warn("Name holds a backslash, which qev-tool reads as a separator: " + tree.pathOf(child).string());
        }
    }
}

}  // namespace

std::filesystem::path SourceTree::pathOf(size_t node) const {
    std::vector<size_t> chain;
    for (size_t n = node; n != 0; n = parents_[n]) chain.push_back(n);
    std::filesystem::path p = root;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) p /= name(*it);
    return p;
}

size_t SourceTree::add(std::string_view name, bool isFile, uint64_t size, const FileStamp& stamp, size_t parent) {
    names_.append(name);
    nameEnds_.push_back(names_.size());
    sizes_.push_back(size);
    parents_.push_back(uint32_t(parent));
    firstChildren_.push_back(0);
    childCounts_.push_back(0);
    isFile_.push_back(isFile ? 1 : 0);
    stamps_.push_back(stamp);
    return parents_.size() - 1;
}

void SourceTree::setChildren(size_t node, size_t first, size_t count) {
    firstChildren_[node] = uint32_t(first);
    childCounts_[node] = uint32_t(count);
}

SourceTree scanSourceTree(const std::filesystem::path& root, const std::vector<Excluded>& excluded,
                          const WarningReport& warn) {
    SourceTree tree;
    tree.root = root;
    tree.add("", false, 0, {}, 0);
    // An explicit list instead of recursion: trees may be deeper than the stack allows.
    // Each directory's children are added together, so they are consecutive nodes.
    for (size_t next = 0; next < tree.nodeCount(); ++next) {
        if (tree.isFile(next)) continue;
        std::filesystem::path dir = tree.pathOf(next);
        size_t first = tree.nodeCount();
        for (Listed& entry : listDirectory(dir)) {
            bool isFile = S_ISREG(entry.st.st_mode);
            if (!isFile && !S_ISDIR(entry.st.st_mode)) {
                warn(std::string("Skipped ") + (S_ISLNK(entry.st.st_mode) ? "symbolic link" : "special file") + ": " +
                     (dir / entry.name).string());
                continue;
            }
            if (isFile && isExcluded(entry.st, excluded)) continue;  // the archive itself
            uint64_t size = isFile ? uint64_t(entry.st.st_size) : 0;
            FileStamp stamp;
            if (isFile) stamp = {FileStamp::nanoseconds(entry.st.st_mtim), FileStamp::nanoseconds(entry.st.st_ctim)};
            tree.add(entry.name, isFile, size, stamp, next);
            (isFile ? tree.files : tree.directories) += 1;
            tree.bytes += size;
        }
        tree.setChildren(next, first, tree.nodeCount() - first);
        warnAboutNames(tree, next, warn);
    }
    return tree;
}

}  // namespace qev::pack
