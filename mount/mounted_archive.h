// One archive as the mount holds it open: its index with the tables read on demand, what
// proves its blocks, the directories its tree leaves out, and the times it shows.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/read/archive_index.h"
#include "archive/read/tree_shape.h"
#include "system/expected.h"
#include "system/file.h"

namespace qev::mount {

struct MountedArchive {
    SharedIndex index;
    std::shared_ptr<const std::vector<uint32_t>> blockHashes;  // null when nothing proves blocks
    bool unproven = false;         // its integrity record is damaged and nothing else proves the blocks
    std::string provenByRecovery;  // the warning, where the recovery record proves the blocks
    TreeShape shape;
    struct stat times {};     // the archive file's times when it was opened
    FileStatus status;        // the file when it was opened, to notice it replaced
    uint32_t blockOwner = 0;  // its keys in the mount's block cache
    std::string path;         // as the mount found it, for messages
};

// Why an archive could not be mounted.
struct NotMounted {
    // kFileDidNotOpen: the file itself, which may open later (when descriptors are free).
    enum class Kind : uint8_t { kFileDidNotOpen, kNotAnArchive, kMismatched, kTreeUnreadable } kind;
    std::string detail;       // why it did not open, or the parts that do not match
    bool byRecovery = false;  // with kMismatched: the recovery record's hashes were the proof

    // One line for people, to follow the archive's path.
    std::string reason() const;
};

// Opens the archive at `path` with its tables read through `tablePages`, proves its tables
// against its integrity record by streaming them (nothing of them is kept) and examines
// its tree. Blocks get keys of `blocks`' cache.
Expected<std::shared_ptr<MountedArchive>, NotMounted> openMounted(const std::string& path,
                                                                  const std::shared_ptr<SharedCache>& tablePages,
                                                                  SharedCache& blocks);

}  // namespace qev::mount
