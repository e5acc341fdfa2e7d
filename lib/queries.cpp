// The tree as the reader sees it: lookups, entries, titles, what the archive holds, reads.
#define QEV_BUILDING
#include "lib/boundary.h"

#include <algorithm>
#include <cstddef>

#include "archive/read/tree_walk.h"

namespace qev::lib {
namespace {

// Counts what a walk from the root reaches, as qev-check's summary counts it.
class Counter : public WalkVisitor {
public:
    explicit Counter(const ArchiveIndex& index, qev_info& info) : index_(index), info_(info) {}
    void child(const WalkChild& c) override {
        if (c.status != ChildStatus::kUsable) return;
        if (c.isFile) {
            ++info_.files;
            info_.total_size += index_.fileSize(c.node);
        } else {
            ++info_.directories;
        }
    }

private:
    const ArchiveIndex& index_;
    qev_info& info_;
};

}  // namespace
}  // namespace qev::lib

using namespace qev::lib;
using qev::NodeId;

extern "C" {

void qev_resolve_options_init(qev_resolve_options* options) {
    if (options == nullptr) return;
    *options = {};
    options->struct_size = sizeof(qev_resolve_options);
    options->match = QEV_MATCH_EXACT_FIRST;
}

qev_status qev_lookup(const qev_archive* archive, const char* path, size_t path_length, qev_entry* entry,
                      qev_error** error) {
    qev_resolve_options options = {sizeof options, QEV_MATCH_ANY_CASE};
    return qev_resolve(archive, path, path_length, &options, entry, error);
}

qev_status qev_resolve(const qev_archive* archive, const char* path, size_t path_length,
                       const qev_resolve_options* options, qev_entry* entry, qev_error** error) {
    return guarded(error, [&] {
        if (archive == nullptr || entry == nullptr || (path == nullptr && path_length > 0)) {
            return fail(error, QEV_ERROR_INVALID_ARGUMENT, "No archive, path or place for the entry");
        }
        int match = knownFields(options, qev_resolve_options_init).match;
        if (match < QEV_MATCH_EXACT_FIRST || match > QEV_MATCH_EXACT) {
            return fail(error, QEV_ERROR_INVALID_ARGUMENT, "Unknown way to match names");
        }
        static constexpr qev::NameMatch kMatches[] = {qev::NameMatch::kExactFirst, qev::NameMatch::kFirstIgnoringCase,
                                                      qev::NameMatch::kExact};
        std::string_view wanted(path == nullptr ? "" : path, path_length);
        NodeId node = archive->index->findPath(wanted, kMatches[match]);
        *entry = node;
        if (node == qev::kInvalidNode)
            return fail(error, QEV_ERROR_NOT_FOUND, "Path not found in archive: " + std::string(wanted));
        return QEV_OK;
    });
}

qev_status qev_stat_entry(const qev_archive* archive, qev_entry entry, qev_stat* stat, qev_error** error) {
    return guarded(error, [&] {
        if (archive == nullptr || stat == nullptr || stat->struct_size < sizeof(qev_stat) ||
            !validEntry(archive, entry)) {
            return fail(error, QEV_ERROR_INVALID_ARGUMENT, "No archive, entry or place for its status");
        }
        stat->kind = kindOf(*archive->index, entry);
        stat->size = archive->index->fileSize(entry);
        return QEV_OK;
    });
}

qev_status qev_dir_count(const qev_archive* archive, qev_entry directory, uint32_t* count, qev_error** error) {
    return guarded(error, [&] {
        if (archive == nullptr || count == nullptr || !validEntry(archive, directory)) {
            return fail(error, QEV_ERROR_INVALID_ARGUMENT, "No archive, entry or place for the count");
        }
        if (!archive->index->isDirectory(directory)) return fail(error, QEV_ERROR_NOT_A_DIRECTORY, "Not a directory");
        *count = archive->index->entryCount(directory);
        return QEV_OK;
    });
}

qev_status qev_dir_entry(const qev_archive* archive, qev_entry directory, uint32_t index, qev_dirent* dirent,
                         qev_error** error) {
    return guarded(error, [&] {
        if (archive == nullptr || dirent == nullptr || dirent->struct_size < sizeof(qev_dirent) ||
            !validEntry(archive, directory)) {
            return fail(error, QEV_ERROR_INVALID_ARGUMENT, "No archive, entry or place for the child");
        }
        if (!archive->index->isDirectory(directory)) return fail(error, QEV_ERROR_NOT_A_DIRECTORY, "Not a directory");
        NodeId child = archive->index->childAt(directory, index);
        if (child == qev::kInvalidNode) return fail(error, QEV_ERROR_INVALID_ARGUMENT, "No child at that index");
        std::string_view name = heldName(*archive, child);
        dirent->entry = child;
        dirent->name = name.data();
        dirent->name_length = name.size();
        dirent->kind = kindOf(*archive->index, child);
        dirent->size = archive->index->fileSize(child);
        return QEV_OK;
    });
}

qev_status qev_title_count(const qev_archive* archive, uint32_t* count, qev_error** error) {
    return guarded(error, [&] {
        if (archive == nullptr || count == nullptr)
            return fail(error, QEV_ERROR_INVALID_ARGUMENT, "No archive or place for the count");
        *count = uint32_t(archive->titles.size());
        return QEV_OK;
    });
}

qev_status qev_title_at(const qev_archive* archive, uint32_t index, qev_title* title, qev_error** error) {
    return guarded(error, [&] {
        if (archive == nullptr || title == nullptr || title->struct_size < sizeof(qev_title) ||
            index >= archive->titles.size()) {
            return fail(error, QEV_ERROR_INVALID_ARGUMENT, "No archive, title at that index or place for it");
        }
        const qev_archive::Title& t = archive->titles[index];
        std::string_view name = heldName(*archive, t.node);
        title->entry = t.node;
        title->folder_name = name.data();
        title->folder_name_length = name.size();
        title->title_id = name.data();
        title->version = t.version;
        return QEV_OK;
    });
}

qev_status qev_get_info(const qev_archive* archive, qev_info* info, qev_error** error) {
    return guarded(error, [&] {
        if (archive == nullptr || info == nullptr || info->struct_size < sizeof(qev_info)) {
            return fail(error, QEV_ERROR_INVALID_ARGUMENT, "No archive or place for its summary");
        }
        const qev::ArchiveIndex& index = *archive->index;
        size_t size = info->struct_size;
        *info = {};
        info->struct_size = size;
        NodeId root = index.findPath("");
        info->root_entries = index.isDirectory(root) ? index.entryCount(root) : 0;
        Counter counter(index, *info);
        if (index.isDirectory(root)) qev::walkTree(index, root, counter);
        info->titles = uint32_t(archive->titles.size());
        info->tree_entries = index.treeSize();
        info->archive_size = index.archiveSize();
        return QEV_OK;
    });
}

qev_status qev_read(const qev_archive* archive, qev_entry file, uint64_t offset, void* buffer, size_t length,
                    size_t* done, qev_error** error) {
    return guarded(error, [&] {
        if (done != nullptr) *done = 0;
        if (archive == nullptr || done == nullptr || (buffer == nullptr && length > 0) || !validEntry(archive, file)) {
            return fail(error, QEV_ERROR_INVALID_ARGUMENT, "No archive, file, buffer or place for the count");
        }
        const qev::ArchiveIndex& index = *archive->index;
        if (!index.isFile(file)) return fail(error, QEV_ERROR_NOT_A_FILE, "Not a file");
        uint64_t size = index.fileSize(file);
        if (offset >= size || length == 0) return QEV_OK;
        uint64_t wanted = std::min<uint64_t>(length, size - offset);
        Lease reader(*archive);
        uint64_t got = (*reader).readFile(file, offset, wanted, static_cast<uint8_t*>(buffer));
        if (got != wanted) {
            if (index.file().changedSinceOpen()) {
                return fail(error, QEV_ERROR_CHANGED, "The archive changed on disk since it was opened");
            }
            return fail(error, QEV_ERROR_CORRUPT, "Failed to read complete file: a block of it is missing or damaged");
        }
        *done = size_t(got);
        return QEV_OK;
    });
}

}  // extern "C"
