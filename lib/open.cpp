// Opening and closing archives, error objects and the version.
#define QEV_BUILDING
#include "lib/boundary.h"

#include <algorithm>
#include <cstddef>

#include "archive/records/archive_proof.h"
#include "system/text.h"

namespace qev::lib {
namespace {

// At most this many idle readers are kept; more are made while more threads read at
// once, and let go after.
constexpr size_t kIdleReaders = 8;

// An archive's bytes from a caller's qev_source.
class CallerSource : public ArchiveFile {
public:
    explicit CallerSource(const qev_source& source) : source_(source) {}
    ~CallerSource() override {
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

// Slots of 64 KiB for `bytes`, rounded up; 0 is the default.
uint32_t cacheSlots(size_t bytes) {
    if (bytes == 0) return kCacheSlotCount;
    return uint32_t(std::min<uint64_t>((uint64_t(bytes) + kBlockSize - 1) / kBlockSize, 1u << 16));
}

// Whether the options can be taken; checked before a source is taken, so that a refused
// call leaves the caller's source to the caller.
bool validOptions(const qev_open_options* given) {
    qev_open_options o = knownFields(given, qev_open_options_init);
    return o.verify >= QEV_VERIFY_BLOCKS && o.verify <= QEV_VERIFY_NONE;
}

qev_status openFile(std::unique_ptr<ArchiveFile> file, const std::string& name, const qev_open_options* given,
                    qev_archive** archive, qev_error** error) {
    if (!file) {
        uint32_t code = uint32_t(lastSystemErrorCode());
        return fail(error, QEV_ERROR_IO, "Failed to open QEV file: " + name + ": " + systemErrorText(code), code);
    }
    qev_open_options options = knownFields(given, qev_open_options_init);
    auto index = ArchiveIndex::create(file);
    if (!index) {
        return fail(error, QEV_ERROR_NOT_AN_ARCHIVE,
                    "Failed to open QEV file: " + name + ": " + describeOpenError(index.error()));
    }
    auto opened = std::make_unique<qev_archive>();
    opened->index = *index;
    opened->cacheSlots = cacheSlots(options.cache_size);
    for (const TitleEntry& t : rootTitles(**index)) opened->titles.push_back({t.node, t.version});
    if (options.verify != QEV_VERIFY_NONE) {
        bool blocks = options.verify == QEV_VERIFY_BLOCKS;
        ArchiveProof proof = proveArchive(**index, blocks);
        if (!proof.mismatched.empty()) {
            std::string parts;
            for (StructurePart part : proof.mismatched)
                parts += (parts.empty() ? "" : ", ") + std::string(partName(part));
            return fail(error, QEV_ERROR_MISMATCH, "The archive does not match its integrity record: " + parts);
        }
        if (blocks && proof.blocks == BlockProof::kUnproven) {
            return fail(error, QEV_ERROR_UNPROVEN,
                        "The integrity record is damaged and no recovery record proves the blocks instead");
        }
        if (blocks) opened->blockHashes = proof.blockHashes;
    }
    *archive = opened.release();
    return QEV_OK;
}

}  // namespace

qev_status fail(qev_error** error, qev_status code, std::string message, uint32_t systemCode) {
    if (error != nullptr) {
        // An error object that cannot be made leaves *error null; the code still says it.
        *error = new (std::nothrow) qev_error{code, {}, systemCode};
        if (*error != nullptr) {
            try {
                (*error)->message = std::move(message);
            } catch (...) {
            }
        }
    }
    return code;
}

Lease::Lease(const qev_archive& archive) : archive_(archive) {
    {
        std::lock_guard<std::mutex> guard(archive.lock);
        if (!archive.idle.empty()) {
            reader_ = std::move(archive.idle.back());
            archive.idle.pop_back();
        }
    }
    if (!reader_) {
        reader_ = std::make_unique<ArchiveReader>(archive.index, archive.cacheSlots);
        if (archive.blockHashes) reader_->checkBlocksAgainst(archive.blockHashes);
    }
}

Lease::~Lease() {
    std::lock_guard<std::mutex> guard(archive_.lock);
    if (archive_.idle.size() < kIdleReaders) archive_.idle.push_back(std::move(reader_));
}

}  // namespace qev::lib

using namespace qev::lib;

extern "C" {

qev_status qev_error_code(const qev_error* error) { return error != nullptr ? error->code : QEV_OK; }

uint32_t qev_error_system_code(const qev_error* error) { return error != nullptr ? error->systemCode : 0; }

const char* qev_error_message(const qev_error* error) { return error != nullptr ? error->message.c_str() : ""; }

void qev_error_free(qev_error* error) { delete error; }

const char* qev_version(void) { return QEV_VERSION_STRING; }

void qev_open_options_init(qev_open_options* options) {
    if (options == nullptr) return;
    *options = {};
    options->struct_size = sizeof(qev_open_options);
    options->verify = QEV_VERIFY_BLOCKS;
}

qev_status qev_open(const char* path, const qev_open_options* options, qev_archive** archive, qev_error** error) {
    return guarded(error, [&] {
        if (path == nullptr || archive == nullptr)
            return fail(error, QEV_ERROR_INVALID_ARGUMENT, "No path or no place for the archive");
        *archive = nullptr;
        if (!validOptions(options)) return fail(error, QEV_ERROR_INVALID_ARGUMENT, "Unknown verification level");
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
        if (!validOptions(options)) return fail(error, QEV_ERROR_INVALID_ARGUMENT, "Unknown verification level");
        return openFile(std::make_unique<CallerSource>(*source), "(source)", options, archive, error);
    });
}

void qev_close(qev_archive* archive) { delete archive; }

}  // extern "C"
