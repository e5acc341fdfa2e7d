#include "archive/records/recovery_proof.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "archive/format/format.h"
#include "archive/records/integrity_record.h"
#include "archive/records/recovery_repair.h"

namespace qev {
namespace {

// Whether the file's bytes [offset, offset + size) are as the record was made over: no
// sector holding them differs from its hash, or those that do differ only elsewhere (a
// sector shared with damaged bytes of a neighbour), as their rebuilt bytes show.
std::optional<bool> bytesHold(const RecoveryDamage& damage, const std::optional<std::vector<Patch>>& rebuilt,
                              uint64_t offset, uint64_t size, const ArchiveFile& file) {
    if (size == 0 || !damage.touches(offset, size)) return true;
    if (!rebuilt) return false;
    uint64_t end = offset + size;
    std::string now;
    for (const Patch& p : *rebuilt) {
        uint64_t from = std::max(offset, p.offset), to = std::min(end, p.offset + p.bytes.size());
        if (from >= to) continue;
        now.resize(to - from);
        if (!file.readAt(from, reinterpret_cast<uint8_t*>(now.data()), uint32_t(now.size()))) return std::nullopt;
        if (std::memcmp(now.data(), p.bytes.data() + (from - p.offset), now.size()) != 0) return false;
    }
    return true;
}

// The blocks, less the slots that only pad the last offset record: those after the last
// block that lies in the data section. The integrity record hashes no such slot, and no
// sector of the archive holds one, so there is nothing of theirs to prove.
uint64_t existingBlocks(const ArchiveIndex& index) {
    uint64_t count = index.blockCount();
    uint64_t lastRecord = count - std::min<uint64_t>(count, kBlocksPerRecord);
    while (count > lastRecord && !index.locateBlock(count - 1)) --count;
    return count;
}

}  // namespace

std::optional<RecoveryProof> proveByRecovery(const ArchiveIndex& index) {
    const ArchiveFile& file = index.file();
    uint64_t size = index.archiveSize();
    uint8_t footer[kFooterSize];
    if (size < kFooterSize || !file.readAt(size - kFooterSize, footer, kFooterSize)) return std::nullopt;
    std::optional<RecoveryLayout> layout = findRecoveryRecord(size, footer, file, /*searchBack=*/false);
    if (!layout) return std::nullopt;
    std::optional<RecoveryDamage> damage = assessDamage(*layout, file, /*scanData=*/true);
    if (!damage || damage->table.lost != 0) return std::nullopt;
    std::string why;
    std::optional<std::vector<Patch>> rebuilt;
    if (!damage->dataCells.empty()) rebuilt = rebuildDamage(*damage, file, why);

    RecoveryProof proof;
    ArchiveFooter f = decodeFooter(footer);
    for (StructurePart part :
         {StructurePart::kOffsetTable, StructurePart::kNameTable, StructurePart::kTree, StructurePart::kFooter}) {
        SectionRange range = partRange(index, f, part);
        std::optional<bool> holds = bytesHold(*damage, rebuilt, range.offset, range.size, file);
        if (!holds) return std::nullopt;
        if (!*holds) proof.mismatched.push_back(part);
    }
    std::string stored;
    uint64_t blocks = existingBlocks(index);
    proof.blockHashes.reserve(blocks);
    for (uint64_t b = 0; b < blocks; ++b) {
        std::optional<BlockLocation> at = index.locateBlock(b);
        std::optional<bool> holds = at ? bytesHold(*damage, rebuilt, at->fileOffset, at->storedLength, file) : false;
        if (!holds) return std::nullopt;
        uint32_t hash = 0;
        if (at) {
            stored.resize(at->storedLength);
            if (!file.readAt(at->fileOffset, reinterpret_cast<uint8_t*>(stored.data()), at->storedLength))
                return std::nullopt;
            hash = blockHash(stored);
        }
        proof.blockHashes.push_back(*holds ? hash : hash ^ 1);
        proof.unprovenBlocks += *holds ? 0 : 1;
    }
    return proof;
}

}  // namespace qev
