// What proves an opened archive's bytes, for every program that hands them out or keeps
// them: its integrity record, or where that record is damaged the recovery record's sector
// hashes. One function, typed results; the words are the caller's.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/read/archive_index.h"
#include "archive/records/integrity_record.h"

namespace qev {

enum class BlockProof : uint8_t {
    kNone,             // no integrity record (another writer's archive): nothing to prove with
    kIntegrityRecord,  // the verified record's block hashes
    kRecoveryRecord,   // the record is damaged; the recovery record's sector hashes stand in
    kUnproven,         // the record is damaged and nothing else can prove the blocks
};

struct ArchiveProof {
    FoundRecord found;  // the integrity record as found
    BlockProof blocks = BlockProof::kNone;
    // The tables and the footer that do not match what proves them, in file order.
    std::vector<StructurePart> mismatched;
    // What each block's stored bytes must hash to (blockHash); null for kNone and kUnproven.
    std::shared_ptr<const std::vector<uint32_t>> blockHashes;
    uint64_t unprovenBlocks = 0;  // with kRecoveryRecord: blocks its hashes do not bear out
};

// Finds the integrity record and checks the tables and the footer against it; with
// `useRecovery`, a damaged record gives way to the recovery record (which reads the whole
// archive). Prints and throws nothing but for lack of memory.
ArchiveProof proveArchive(const ArchiveIndex& index, bool useRecovery = true);

// The warning every reading program gives when the recovery record stands in for a
// damaged integrity record: "The integrity record is damaged; the recovery record proves
// the blocks instead (3 do not match it)", for the archive's path to follow.
std::string recoveryProofWarning(const ArchiveProof& proof);

}  // namespace qev
