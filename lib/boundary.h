// What every function of the C boundary shares: the opened archive, error objects, and
// the guard that turns whatever the core throws into a status.
#pragma once

#include "qev/qev.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "archive/read/archive_reader.h"
#include "archive/read/title_name.h"

struct qev_error {
    qev_status code;
    std::string message;
    uint32_t systemCode = 0;  // the system's error behind a QEV_ERROR_IO, where one is known
};

struct qev_archive {
    qev::SharedIndex index;
    std::shared_ptr<const std::vector<uint32_t>> blockHashes;  // null: blocks unchecked
    uint32_t cacheSlots = qev::kCacheSlotCount;                // per reader
    // The title folders at the root: their entries and versions (the names are the
    // archive's own, so a hostile root of a million titles costs 8 bytes each).
    struct Title {
        qev::NodeId node;
        int32_t version;
    };
    std::vector<Title> titles;
    // Readers not in use: a call takes one (or makes one) and gives it back, so threads
    // read in parallel, each with its own cache and decompression context.
    mutable std::mutex lock;
    mutable std::vector<std::unique_ptr<qev::ArchiveReader>> idle;
};

namespace qev::lib {

// Sets *error (when asked for) to a new error object; returns `code`.
qev_status fail(qev_error** error, qev_status code, std::string message, uint32_t systemCode = 0);

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

// A caller's options over the defaults: the fields its struct_size covers are its own (a
// program built against an older header knows fewer), the rest keep their defaults.
template <typename Options>
Options knownFields(const Options* given, void (*defaults)(Options*)) {
    Options o;
    defaults(&o);
    if (given != nullptr) {
        std::memcpy(&o, given, std::min(given->struct_size, sizeof o));
        o.struct_size = sizeof o;
    }
    return o;
}

// A reader for one call, given back when it ends.
class Lease {
public:
    explicit Lease(const qev_archive& archive);
    ~Lease();
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ArchiveReader& operator*() { return *reader_; }

private:
    const qev_archive& archive_;
    std::unique_ptr<ArchiveReader> reader_;
};

inline bool validEntry(const qev_archive* archive, qev_entry entry) { return entry < archive->index->treeSize(); }

// A name handed out to callers, valid while the archive is open: a library's archive is
// opened whole, so its tables are held.
inline std::string_view heldName(const qev_archive& archive, NodeId node) {
    return archive.index->heldTables()->name(node);
}

inline int kindOf(const ArchiveIndex& index, NodeId node) {
    return index.isFile(node) ? QEV_KIND_FILE : QEV_KIND_DIRECTORY;
}

}  // namespace qev::lib
