// Proving an archive's blocks by its recovery record's sector hashes, for when its
// integrity record is damaged: each block whose sectors all agree with their hashes is as
// it was written.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "archive/read/archive_index.h"
#include "archive/records/integrity_record.h"
#include "archive/records/recovery_record.h"

namespace qev {

struct RecoveryProof {
    // Per block: the blockHash of its stored bytes where every sector holding them agrees
    // with its hash, another value where one does not, so that a reader checking blocks
    // against these refuses exactly the unproven ones.
    std::vector<uint32_t> blockHashes;
    uint64_t unprovenBlocks = 0;
    // The tables and the footer whose sectors do not agree with their hashes.
    std::vector<StructurePart> mismatched;
};

// Nothing when the archive has no readable recovery record whose hashes are whole, or a
// read fails. Reads every block once.
std::optional<RecoveryProof> proveByRecovery(const ArchiveIndex& index);

}  // namespace qev
