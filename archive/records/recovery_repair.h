// Finding damage through a recovery record, and rebuilding it. Reads only; what to write
// back is returned as patches, for the caller to check and write.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "archive/records/recovery_record.h"

namespace qev {

struct RecoveryDamage {
    RecoveryLayout layout;
    HashTable table;
    bool headerDamaged[2] = {false, false};
    bool dataScanned = false;           // false: only the record itself was read
    std::vector<uint64_t> dataCells;    // damaged cells of the protected stream, ascending
    std::vector<uint64_t> parityCells;  // damaged parity cells, ascending
    std::vector<uint64_t> lostGroups;   // groups with more damaged cells than parity left
    // Groups holding sectors whose hashes were lost in both copies, and whose parity could
    // not prove or mend them.
    std::vector<uint64_t> unprovenGroups;
    uint32_t spare = 0;  // the fewest undamaged parity cells of any group

    bool any() const { return ownParts() > 0 || !dataCells.empty(); }
    // How many of the record's own parts (sectors, headers, hash chunks) are damaged.
    uint64_t ownParts() const;
    bool repairable() const { return table.lost == 0 && lostGroups.empty(); }
    // Both header copies damaged, and the share they held not proven: everything else can
    // be rebuilt, but not the headers as they were.
    bool headersLost() const { return (headerDamaged[0] || headerDamaged[1]) && !layout.shareProven; }
    // Whether the file's bytes [offset, offset + size) hold damaged sectors, each of which
    // can be rebuilt. Bytes that agree with their hashes cannot be: the record holds them as
    // they are.
    bool canRebuild(uint64_t offset, uint64_t size) const;
    // Whether any sector of the file's bytes [offset, offset + size) differs from its hash.
    bool touches(uint64_t offset, uint64_t size) const;
    // Why the damage cannot be repaired, as a sentence's end: "3 groups have ...".
    std::string whyNot() const;

private:
    std::vector<uint64_t>::const_iterator firstDamagedIn(uint64_t offset, uint64_t size, uint64_t& lastCell) const;
};

// Reads the record's headers, hash tables and parity cells and, with `scanData`, every
// cell of the protected stream, comparing each with its hash. Nothing when a read fails.
std::optional<RecoveryDamage> assessDamage(const RecoveryLayout& layout, const ArchiveFile& file, bool scanData,
                                           const CellProgress& progress = {});

struct Patch {
    uint64_t offset;
    std::string bytes;
};

// The rebuilt bytes of every damaged part (the headers only where they can be made again
// as they were), each rebuilt cell checked against its hash, in file order. Nothing, and `why`, when the damage cannot
// be rebuilt.
std::optional<std::vector<Patch>> rebuildDamage(const RecoveryDamage& damage, const ArchiveFile& file,
                                                std::string& why);

}  // namespace qev
