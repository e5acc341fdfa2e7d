// White-box access to a reader's private state, for tests only.
#pragma once

#include "archive/archive_reader.h"

namespace qev {

struct ArchiveReaderTestAccess {
    static const BlockCache& cache(const ArchiveReader& r) { return r.cache; }
    static uint64_t blockCount(const ArchiveReader& r) { return r.index().blockCount(); }
    static uint64_t dataOffset(const ArchiveReader& r) { return r.index().dataOffset(); }
    static size_t treeSize(const ArchiveReader& r) { return r.index().treeSize(); }
};

}  // namespace qev
