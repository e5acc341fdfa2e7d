// The C boundary over the archive core: every call is caught here, so that nothing but a
// status and an error object ever leaves it.
#define QEV_BUILDING
#include "qev/qev.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "archive/archive_proof.h"
#include "archive/archive_reader.h"
#include "system/text.h"

struct qev_error {
    qev_status code;
    std::string message;
};

struct qev_archive {
    qev::SharedIndex index;
    std::shared_ptr<const std::vector<uint32_t>> blockHashes;  // null: blocks unchecked
    // Readers not in use: a call takes one (or makes one) and gives it back, so threads
    // read in parallel, each with its own cache and decompression context.
    mutable std::mutex lock;
    mutable std::vector<std::unique_ptr<qev::ArchiveReader>> idle;
};

namespace {

using qev::NodeId;

// At most this many idle readers are kept (each holds a 4 MiB cache); more are made while
// more threads read at once, and let go after.
constexpr size_t kIdleReaders = 8;

qev_status fail(qev_error** error, qev_status code, std::string message) {
    if (error != nullptr) {
        // An error object that cannot be made leaves *error null; the code still says it.
        *error = new (std::nothrow) qev_error{code, {}};
        if (*error != nullptr) {
            try {
                (*error)->message = std::move(message);
            } catch (...) {
            }
        }
    }
    return code;
}

// Runs `body`, turning whatever it throws into a status.
template <typename Body>
qev_status guarded(qev_error** error, Body&& body) {
    if (error != nullptr) *error = nullptr;
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return fail(error, QEV_ERROR_NO_MEMORY, "Out of memory");
    } catch (...) {
        return fail(error, QEV_ERROR_IO, "Unexpected failure");
    }
}

// An archive's bytes from a caller's source.
class SourceFile : public qev::ArchiveFile {
public:
    explicit SourceFile(const qev_source& source) : source_(source) {}
    ~SourceFile() override {
        if (source_.close != nullptr) source_.close(source_.user_data);
    }
    bool readAt(uint64_t offset, uint8_t* into, uint32_t count) const override {
        if (count == 0) return true;
        if (offset > source_.size || count > source_.size - offset) return false;
        return source_.read_at(source_.user_data, offset, into, count) == 0;
    }
    std::optional<uint64_t> size() const override { return source_.size; }

private:
    qev_source source_;
};

int verifyLevel(const qev_open_options* options) {
    if (options == nullptr || options->struct_size < offsetof(qev_open_options, verify) + sizeof(int)) {
        return QEV_VERIFY_BLOCKS;
    }
    return options->verify;
}

qev_status openFile(std::unique_ptr<qev::ArchiveFile> file, const std::string& name, const qev_open_options* options,
                    qev_archive** archive, qev_error** error) {
    if (!file) return fail(error, QEV_ERROR_IO, "Failed to open QEV file: " + name + ": " + qev::lastSystemError());
    auto index = qev::ArchiveIndex::create(file);
    if (!index) {
        return fail(error, QEV_ERROR_NOT_AN_ARCHIVE,
                    "Failed to open QEV file: " + name + ": " + qev::describeOpenError(index.error()));
    }
    auto opened = std::make_unique<qev_archive>();
    opened->index = *index;
    int verify = verifyLevel(options);
    if (verify == QEV_VERIFY_BLOCKS || verify == QEV_VERIFY_STRUCTURE) {
        qev::ArchiveProof proof = qev::proveArchive(**index, verify == QEV_VERIFY_BLOCKS);
        if (!proof.mismatched.empty()) {
            std::string parts;
            for (qev::StructurePart part : proof.mismatched) parts += (parts.empty() ? "" : ", ") + std::string(partName(part));
            return fail(error, QEV_ERROR_MISMATCH, "The archive does not match its integrity record: " + parts);
        }
        if (verify == QEV_VERIFY_BLOCKS && proof.blocks == qev::BlockProof::kUnproven) {
            return fail(error, QEV_ERROR_UNPROVEN,
                        "The integrity record is damaged and no recovery record proves the blocks instead");
        }
        if (verify == QEV_VERIFY_BLOCKS) opened->blockHashes = proof.blockHashes;
    }
    *archive = opened.release();
    return QEV_OK;
}

// A reader for one call, given back when it ends.
class Lease {
public:
    explicit Lease(const qev_archive& archive) : archive_(archive) {
        {
            std::lock_guard<std::mutex> guard(archive.lock);
            if (!archive.idle.empty()) {
                reader_ = std::move(archive.idle.back());
                archive.idle.pop_back();
            }
        }
        if (!reader_) {
            reader_ = std::make_unique<qev::ArchiveReader>(archive.index);
            if (archive.blockHashes) reader_->checkBlocksAgainst(archive.blockHashes);
        }
    }
    ~Lease() {
        std::lock_guard<std::mutex> guard(archive_.lock);
        if (archive_.idle.size() < kIdleReaders) archive_.idle.push_back(std::move(reader_));
    }
    qev::ArchiveReader& operator*() { return *reader_; }

private:
    const qev_archive& archive_;
    std::unique_ptr<qev::ArchiveReader> reader_;
};

bool validEntry(const qev_archive* archive, qev_entry entry) { return entry < archive->index->treeSize(); }

int kindOf(const qev::ArchiveIndex& index, NodeId node) {
    return index.isFile(node) ? QEV_KIND_FILE : QEV_KIND_DIRECTORY;
}

}  // namespace

extern "C" {

qev_status qev_error_code(const qev_error* error) { return error != nullptr ? error->code : QEV_OK; }

const char* qev_error_message(const qev_error* error) { return error != nullptr ? error->message.c_str() : ""; }

void qev_error_free(qev_error* error) { delete error; }

const char* qev_version(void) { return QEV_VERSION_STRING; }

void qev_open_options_init(qev_open_options* options) {
    if (options == nullptr) return;
    options->struct_size = sizeof(qev_open_options);
    options->verify = QEV_VERIFY_BLOCKS;
}

qev_status qev_open(const char* path, const qev_open_options* options, qev_archive** archive, qev_error** error) {
    return guarded(error, [&] {
        if (path == nullptr || archive == nullptr) return fail(error, QEV_ERROR_INVALID_ARGUMENT, "No path or no place for the archive");
        *archive = nullptr;
        return openFile(qev::openArchiveFile(qev::pathFromUtf8(path)), path, options, archive, error);
    });
}

qev_status qev_open_source(const qev_source* source, const qev_open_options* options, qev_archive** archive,
                           qev_error** error) {
    return guarded(error, [&] {
        if (source == nullptr || archive == nullptr || source->struct_size < sizeof(qev_source) ||
            source->read_at == nullptr) {
            return fail(error, QEV_ERROR_INVALID_ARGUMENT, "No source, or one without a read function");
        }
        *archive = nullptr;
        return openFile(std::make_unique<SourceFile>(*source), "(source)", options, archive, error);
    });
}

void qev_close(qev_archive* archive) { delete archive; }

qev_status qev_lookup(const qev_archive* archive, const char* path, size_t path_length, qev_entry* entry,
                      qev_error** error) {
    return guarded(error, [&] {
        if (archive == nullptr || entry == nullptr || (path == nullptr && path_length > 0)) {
            return fail(error, QEV_ERROR_INVALID_ARGUMENT, "No archive, path or place for the entry");
        }
        std::string_view wanted(path == nullptr ? "" : path, path_length);
        NodeId node = archive->index->findPath(wanted);
        *entry = node;
        if (node == qev::kInvalidNode) return fail(error, QEV_ERROR_NOT_FOUND, "Path not found in archive: " + std::string(wanted));
        return QEV_OK;
    });
}

qev_status qev_stat_entry(const qev_archive* archive, qev_entry entry, qev_stat* stat, qev_error** error) {
    return guarded(error, [&] {
        if (archive == nullptr || stat == nullptr || stat->struct_size < sizeof(qev_stat) || !validEntry(archive, entry)) {
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
        std::string_view name = archive->index->entryName(child);
        dirent->entry = child;
        dirent->name = name.data();
        dirent->name_length = name.size();
        dirent->kind = kindOf(*archive->index, child);
        dirent->size = archive->index->fileSize(child);
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
