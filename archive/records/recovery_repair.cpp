#include "archive/records/recovery_repair.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "archive/records/recovery_code.h"

namespace qev {
namespace {

constexpr uint32_t kPieceCells = 256;

struct GroupCounts {
    std::vector<uint32_t> data, parity;
};

GroupCounts countPerGroup(const RecoveryDamage& d) {
    const RecoveryGeometry& g = d.layout.geometry;
    GroupCounts counts{std::vector<uint32_t>(g.groups, 0), std::vector<uint32_t>(g.groups, 0)};
    for (uint64_t n : d.dataCells) ++counts.data[n % g.groups];
    for (uint64_t p : d.parityCells) ++counts.parity[p % g.groups];
    return counts;
}

// Of `count` cells read by `readCells(first, cells, into)`, those whose hash differs from
// `hashes[i]`, by index.
template <typename ReadCells>
bool scanCells(uint64_t count, const uint32_t* hashes, const ReadCells& readCells, std::vector<uint64_t>& damaged,
               const CellProgress& progress) {
    std::vector<uint8_t> piece(size_t(kPieceCells) * kCellSize);
    for (uint64_t at = 0; at < count; at += kPieceCells) {
        uint32_t cells = uint32_t(std::min<uint64_t>(kPieceCells, count - at));
        if (!readCells(at, cells, piece.data())) return false;
        if (progress) progress(at + cells, count);
        for (uint32_t c = 0; c < cells; ++c) {
            if (cellHash(&piece[size_t(c) * kCellSize]) != hashes[at + c]) damaged.push_back(at + c);
        }
    }
    return true;
}

// Rows 0..k-1 of a group are data cells, k..k+m-1 parity cells, each the group's share of
// its kind: the cell number of a row, and reading it.
uint64_t cellOfRow(const RecoveryGeometry& g, uint64_t group, uint32_t row) {
    return group + uint64_t(row < g.dataPerGroup ? row : row - g.dataPerGroup) * g.groups;
}

bool readRow(const RecoveryLayout& layout, const ProtectedStream& stream, const ArchiveFile& file, uint64_t group,
             uint32_t row, uint8_t* cell) {
    uint64_t n = cellOfRow(layout.geometry, group, row);
    return row < layout.geometry.dataPerGroup ? stream.readCells(n, 1, cell)
                                              : file.readAt(layout.parityOffset(n), cell, kCellSize);
}

// Rebuilds the damaged cells of one group from k of its others, each checked by its hash.
bool rebuildGroup(const RecoveryDamage& d, const ParityCode& code, uint64_t group, const std::vector<bool>& dataBad,
                  const std::vector<bool>& parityBad, const ArchiveFile& file, std::vector<Patch>& patches) {
    const RecoveryGeometry& g = d.layout.geometry;
    const uint32_t k = g.dataPerGroup, m = g.parityPerGroup;
    ProtectedStream stream(d.layout, file);
    auto cellOf = [&](uint32_t row) { return cellOfRow(g, group, row); };
    auto bad = [&](uint32_t row) {
        uint64_t n = cellOf(row);
        return row < k ? n < g.dataCells && dataBad[n] : parityBad[n];
    };
    std::vector<uint32_t> known, wanted;
    for (uint32_t row = 0; row < k + m; ++row) {
        if (bad(row)) {
            wanted.push_back(row);
        } else if (known.size() < k) {
            known.push_back(row);
        }
    }
    if (known.size() < k) return false;
    std::vector<uint8_t> cells((known.size() + wanted.size()) * size_t(kCellSize));
    std::vector<uint8_t*> knownCells, out;
    for (size_t i = 0; i < known.size(); ++i) {
        uint8_t* cell = &cells[i * kCellSize];
        knownCells.push_back(cell);
        if (!readRow(d.layout, stream, file, group, known[i], cell)) return false;
    }
    for (size_t i = 0; i < wanted.size(); ++i) out.push_back(&cells[(known.size() + i) * kCellSize]);
    if (!code.rebuild(known, knownCells.data(), wanted, out.data())) return false;
    for (size_t i = 0; i < wanted.size(); ++i) {
        uint64_t n = cellOf(wanted[i]);
        bool isData = wanted[i] < k;
        if (cellHash(out[i]) != d.table.hashes[isData ? n : g.dataCells + n]) return false;
        const char* bytes = reinterpret_cast<const char*>(out[i]);
        if (!isData) {
            patches.push_back({d.layout.parityOffset(n), std::string(bytes, kCellSize)});
            continue;
        }
        for (const ProtectedStream::Piece& piece : stream.piecesOf(n)) {
            patches.push_back({piece.fileOffset, std::string(bytes + piece.inCell, piece.length)});
        }
    }
    return true;
}

// The record's own parts that differ from what the layout and the hashes make of them.
void rebuildRecordParts(const RecoveryDamage& d, std::vector<Patch>& patches) {
    std::string header = encodeRecoveryHeader(d.layout);
    for (int copy = 0; copy < 2 && !d.headersLost(); ++copy) {
        if (d.headerDamaged[copy]) patches.push_back({d.layout.headerOffset(copy), header});
    }
    if (d.table.damaged[0].empty() && d.table.damaged[1].empty()) return;
    std::string table = encodeHashCopy(d.table.hashes);
    for (int copy = 0; copy < 2; ++copy) {
        for (uint64_t chunk : d.table.damaged[copy]) {
            uint64_t at = chunk * kCellSize;
            patches.push_back({d.layout.hashCopyOffset(copy) + at, table.substr(at, kCellSize)});
        }
    }
}

// One group read whole: its k data rows and m parity rows, one cell each.
struct GroupCells {
    std::vector<uint8_t> bytes;
    uint8_t* row(uint32_t r) { return &bytes[size_t(r) * kCellSize]; }
};

std::optional<GroupCells> readGroup(const RecoveryLayout& layout, uint64_t group, const ArchiveFile& file) {
    const RecoveryGeometry& g = layout.geometry;
    const uint32_t k = g.dataPerGroup, m = g.parityPerGroup;
    ProtectedStream stream(layout, file);
    GroupCells cells;
    cells.bytes.resize(size_t(k + m) * kCellSize);
    for (uint32_t row = 0; row < k + m; ++row) {
        if (!readRow(layout, stream, file, group, row, cells.row(row))) return std::nullopt;
    }
    return cells;
}

// Whether the group's rows agree with its code once the rows `erased` are rebuilt from the
// others: every parity row not erased must be what the data makes of it. The rebuilt rows
// are left in `cells`. Needs fewer erased rows than parity rows, so that one is left to judge.
bool consistentWithout(const ParityCode& code, uint32_t k, uint32_t m, const std::vector<uint32_t>& erased,
                       GroupCells& cells) {
    if (erased.size() >= m) return false;
    std::vector<uint32_t> known;
    std::vector<const uint8_t*> knownCells;
    for (uint32_t row = 0; row < k + m && known.size() < k; ++row) {
        if (std::find(erased.begin(), erased.end(), row) != erased.end()) continue;
        known.push_back(row);
        knownCells.push_back(cells.row(row));
    }
    std::vector<uint8_t*> out;
    for (uint32_t row : erased) out.push_back(cells.row(row));
    if (!erased.empty() && !code.rebuild(known, knownCells.data(), erased, out.data())) return false;
    std::vector<uint32_t> data(k), parity(m);
    for (uint32_t i = 0; i < k; ++i) data[i] = i;
    for (uint32_t i = 0; i < m; ++i) parity[i] = k + i;
    std::vector<uint8_t> made(size_t(m) * kCellSize);
    std::vector<uint8_t*> madeRows;
    for (uint32_t i = 0; i < m; ++i) madeRows.push_back(&made[size_t(i) * kCellSize]);
    std::vector<const uint8_t*> dataCells;
    for (uint32_t i = 0; i < k; ++i) dataCells.push_back(cells.row(i));
    if (!code.rebuild(data, dataCells.data(), parity, madeRows.data())) return false;
    return std::memcmp(made.data(), cells.row(k), size_t(m) * kCellSize) == 0;
}

// The chunks of the hash table damaged in both copies: their hashes are taken from the
// sectors as they are now, to be proven by proveLostHashes. Gives their hash indexes.
std::optional<std::vector<uint64_t>> hashesFromSectors(RecoveryDamage& d, const ArchiveFile& file) {
    const RecoveryGeometry& g = d.layout.geometry;
    std::vector<uint64_t> lost, unsure;
    std::set_intersection(d.table.damaged[0].begin(), d.table.damaged[0].end(), d.table.damaged[1].begin(),
                          d.table.damaged[1].end(), std::back_inserter(lost));
    ProtectedStream stream(d.layout, file);
    std::vector<uint8_t> cell(kCellSize);
    for (uint64_t chunk : lost) {
        uint64_t first = chunk * kHashesPerChunk, end = std::min<uint64_t>(first + kHashesPerChunk, g.hashCount());
        for (uint64_t i = first; i < end; ++i) {
            bool ok = i < g.dataCells ? stream.readCells(i, 1, cell.data())
                                      : file.readAt(d.layout.parityOffset(i - g.dataCells), cell.data(), kCellSize);
            if (!ok) return std::nullopt;
            d.table.hashes[i] = cellHash(cell.data());
            unsure.push_back(i);
        }
    }
    return unsure;
}

// Proves the hashes taken from the sectors by the parity of each group they belong to. A
// group whose parity disagrees has its one damaged sector found by trying each in turn,
// where parity enough is left; a group that still disagrees is unproven.
bool proveLostHashes(RecoveryDamage& d, const std::vector<uint64_t>& unsure, const ArchiveFile& file) {
    const RecoveryGeometry& g = d.layout.geometry;
    const uint32_t k = g.dataPerGroup, m = g.parityPerGroup;
    auto groupOf = [&](uint64_t i) { return i < g.dataCells ? i % g.groups : (i - g.dataCells) % g.groups; };
    auto rowOf = [&](uint64_t i) {
        return i < g.dataCells ? uint32_t(i / g.groups) : k + uint32_t((i - g.dataCells) / g.groups);
    };
    std::vector<uint64_t> groups;
    for (uint64_t i : unsure) groups.push_back(groupOf(i));
    std::sort(groups.begin(), groups.end());
    groups.erase(std::unique(groups.begin(), groups.end()), groups.end());
    ParityCode code(k, m);
    // A hostile file can lose many chunks: the search for damaged sectors does work in
    // proportion to the archive (GF(2^8) products, counted in bytes), and no more.
    const uint64_t trialCost = 2 * uint64_t(k + m) * m * kCellSize;
    uint64_t budget = std::min<uint64_t>(uint64_t(4) << 30, 64 * g.protectedSize + (uint64_t(256) << 20));
    for (uint64_t group : groups) {
        std::optional<GroupCells> cells = readGroup(d.layout, group, file);
        if (!cells) return false;
        // The sectors known to be damaged by their hashes are rebuilt before judging.
        std::vector<uint32_t> erased;
        for (uint64_t n : d.dataCells) {
            if (n % g.groups == group) erased.push_back(uint32_t(n / g.groups));
        }
        for (uint64_t p : d.parityCells) {
            if (p % g.groups == group) erased.push_back(k + uint32_t(p / g.groups));
        }
        GroupCells trial = *cells;
        if (consistentWithout(code, k, m, erased, trial)) continue;
        bool found = false;
        for (uint64_t i : unsure) {
            if (groupOf(i) != group) continue;
            if (budget < trialCost) break;
            budget -= trialCost;
            std::vector<uint32_t> more = erased;
            more.push_back(rowOf(i));
            trial = *cells;
            if (!consistentWithout(code, k, m, more, trial)) continue;
            d.table.hashes[i] = cellHash(trial.row(rowOf(i)));
            if (i < g.dataCells) {
                d.dataCells.push_back(i);
            } else {
                d.parityCells.push_back(i - g.dataCells);
            }
            found = true;
            break;
        }
        if (!found) d.unprovenGroups.push_back(group);
    }
    std::sort(d.dataCells.begin(), d.dataCells.end());
    std::sort(d.parityCells.begin(), d.parityCells.end());
    return true;
}

}  // namespace

uint64_t RecoveryDamage::ownParts() const {
    return parityCells.size() + headerDamaged[0] + headerDamaged[1] + table.damaged[0].size() + table.damaged[1].size();
}

std::vector<uint64_t>::const_iterator RecoveryDamage::firstDamagedIn(uint64_t offset, uint64_t size,
                                                                     uint64_t& lastCell) const {
    uint64_t at = offset < layout.recordOffset ? offset : offset - layout.recordSize();
    uint64_t first = at / kCellSize;
    lastCell = (at + std::max<uint64_t>(size, 1) - 1) / kCellSize;
    return std::lower_bound(dataCells.begin(), dataCells.end(), first);
}

bool RecoveryDamage::touches(uint64_t offset, uint64_t size) const {
    uint64_t recordEnd = layout.recordOffset + layout.recordSize();
    if (offset >= layout.recordOffset && offset < recordEnd) return ownParts() > 0;
    uint64_t last = 0;
    auto hit = firstDamagedIn(offset, size, last);
    return hit != dataCells.end() && *hit <= last;
}

bool RecoveryDamage::canRebuild(uint64_t offset, uint64_t size) const {
    // Bytes whose sectors all agree with their hashes are what the record was made over:
    // it has nothing else to give for them.
    if (table.lost != 0 || !touches(offset, size)) return false;
    uint64_t recordEnd = layout.recordOffset + layout.recordSize();
    if (offset >= layout.recordOffset && offset < recordEnd) return true;  // rebuilt from the data
    uint64_t last = 0;
    for (auto hit = firstDamagedIn(offset, size, last); hit != dataCells.end() && *hit <= last; ++hit) {
        if (std::binary_search(lostGroups.begin(), lostGroups.end(), *hit % layout.geometry.groups)) return false;
    }
    return true;
}

std::string RecoveryDamage::whyNot() const {
    if (table.lost != 0) return "the record's hashes are damaged in both of their copies";
    uint64_t worst = 0;
    GroupCounts counts = countPerGroup(*this);
    for (uint64_t group : lostGroups) worst = std::max<uint64_t>(worst, counts.data[group] + counts.parity[group]);
    return "the damage is beyond the recovery record: " + std::to_string(lostGroups.size()) + " of its " +
           std::to_string(layout.geometry.groups) + " groups have up to " + std::to_string(worst) +
           " damaged 4 KiB sectors, and each group rebuilds at most " + std::to_string(layout.geometry.parityPerGroup);
}

std::optional<RecoveryDamage> assessDamage(const RecoveryLayout& layout, const ArchiveFile& file, bool scanData,
                                           const CellProgress& progress) {
    RecoveryDamage d;
    d.layout = layout;
    d.table = readHashTable(layout, file);
    std::string header = encodeRecoveryHeader(layout);
    for (int copy = 0; copy < 2; ++copy) {
        uint8_t bytes[kRecoveryHeaderSize];
        d.headerDamaged[copy] = !file.readAt(layout.headerOffset(copy), bytes, kRecoveryHeaderSize) ||
                                std::memcmp(bytes, header.data(), kRecoveryHeaderSize) != 0;
    }
    const RecoveryGeometry& g = layout.geometry;
    // Hashes lost in both copies are taken from the sectors, and proven by the parity once
    // every sector has been compared with its hash.
    std::vector<uint64_t> unsure;
    if (d.table.lost != 0) {
        std::optional<std::vector<uint64_t>> fromSectors = hashesFromSectors(d, file);
        if (!fromSectors) return std::nullopt;
        unsure = std::move(*fromSectors);
        d.table.lost = 0;
        scanData = true;
    }
    auto readParity = [&](uint64_t first, uint32_t cells, uint8_t* into) {
        return file.readAt(layout.parityOffset(first), into, cells * kCellSize);
    };
    if (!scanCells(g.parityCells(), &d.table.hashes[g.dataCells], readParity, d.parityCells, {})) return std::nullopt;
    ProtectedStream stream(layout, file);
    auto readData = [&](uint64_t first, uint32_t cells, uint8_t* into) { return stream.readCells(first, cells, into); };
    d.dataScanned = scanData;
    if (scanData && !scanCells(g.dataCells, d.table.hashes.data(), readData, d.dataCells, progress))
        return std::nullopt;
    if (!unsure.empty() && !proveLostHashes(d, unsure, file)) return std::nullopt;
    GroupCounts counts = countPerGroup(d);
    d.spare = g.parityPerGroup;
    for (uint64_t group = 0; group < g.groups; ++group) {
        uint32_t erased = counts.data[group] + counts.parity[group];
        bool unproven = std::binary_search(d.unprovenGroups.begin(), d.unprovenGroups.end(), group);
        if ((counts.data[group] > 0 && erased > g.parityPerGroup) || unproven) d.lostGroups.push_back(group);
        d.spare = std::min(d.spare, erased >= g.parityPerGroup ? 0 : g.parityPerGroup - erased);
    }
    return d;
}

std::optional<std::vector<Patch>> rebuildDamage(const RecoveryDamage& d, const ArchiveFile& file, std::string& why) {
    if (!d.repairable()) {
        why = d.whyNot();
        return std::nullopt;
    }
    const RecoveryGeometry& g = d.layout.geometry;
    std::vector<bool> dataBad(g.dataCells, false), parityBad(g.parityCells(), false);
    std::vector<uint64_t> groups;
    for (uint64_t n : d.dataCells) dataBad[n] = true, groups.push_back(n % g.groups);
    for (uint64_t p : d.parityCells) parityBad[p] = true, groups.push_back(p % g.groups);
    std::sort(groups.begin(), groups.end());
    groups.erase(std::unique(groups.begin(), groups.end()), groups.end());
    ParityCode code(g.dataPerGroup, g.parityPerGroup);
    std::vector<Patch> patches;
    for (uint64_t group : groups) {
        if (!rebuildGroup(d, code, group, dataBad, parityBad, file, patches)) {
            why = "the rebuilt bytes do not match the record's hashes";
            return std::nullopt;
        }
    }
    rebuildRecordParts(d, patches);
    std::sort(patches.begin(), patches.end(), [](const Patch& a, const Patch& b) { return a.offset < b.offset; });
    return patches;
}

}  // namespace qev
