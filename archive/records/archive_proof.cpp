#include "archive/records/archive_proof.h"

#include "archive/records/recovery_proof.h"

namespace qev {

ArchiveProof proveArchive(const ArchiveIndex& index, bool useRecovery) {
    ArchiveProof proof;
    proof.found = findIntegrityRecord(index);
    switch (proof.found.state) {
        case RecordState::kAbsent: return proof;
        case RecordState::kVerified:
            proof.blocks = BlockProof::kIntegrityRecord;
            proof.mismatched = mismatchedStructure(index, proof.found);
            proof.blockHashes =
                std::make_shared<const std::vector<uint32_t>>(std::move(proof.found.record.blockHashes));
            return proof;
        case RecordState::kDamaged: break;
    }
    proof.blocks = BlockProof::kUnproven;
    if (!useRecovery) return proof;
    std::optional<RecoveryProof> byRecovery = proveByRecovery(index);
    if (!byRecovery) return proof;
    proof.blocks = BlockProof::kRecoveryRecord;
    proof.mismatched = std::move(byRecovery->mismatched);
    proof.unprovenBlocks = byRecovery->unprovenBlocks;
    proof.blockHashes = std::make_shared<const std::vector<uint32_t>>(std::move(byRecovery->blockHashes));
    return proof;
}

std::string recoveryProofWarning(const ArchiveProof& proof) {
    std::string unproven =
        proof.unprovenBlocks > 0 ? " (" + std::to_string(proof.unprovenBlocks) + " do not match it)" : "";
    return "The integrity record is damaged; the recovery record proves the blocks instead" + unproven;
}

}  // namespace qev
