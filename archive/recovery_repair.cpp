#include "archive/recovery_repair.h"

#include <algorithm>
#include <cstring>

#include "archive/recovery_code.h"

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

// Rebuilds the damaged cells of one group from k of its others, each checked by its hash.
bool rebuildGroup(const RecoveryDamage& d, const ParityCode& code, uint64_t group, const std::vector<bool>& dataBad,
                  const std::vector<bool>& parityBad, const ReadFileAt& read, std::vector<Patch>& patches) {
    const RecoveryGeometry& g = d.layout.geometry;
    const uint32_t k = g.dataPerGroup, m = g.parityPerGroup;
    ProtectedStream stream(d.layout, read);
    // Rows 0..k-1 are data cells, k..k+m-1 parity cells, each a group's share of its kind.
    auto cellOf = [&](uint32_t row) { return group + uint64_t(row < k ? row : row - k) * g.groups; };
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
        uint64_t n = cellOf(known[i]);
        bool ok = known[i] < k ? stream.readCells(n, 1, cell) : read(d.layout.parityOffset(n), cell, kCellSize);
        if (!ok) return false;
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
    for (int copy = 0; copy < 2; ++copy) {
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

std::optional<RecoveryDamage> assessDamage(const RecoveryLayout& layout, const ReadFileAt& read, bool scanData,
                                           const CellProgress& progress) {
    RecoveryDamage d;
    d.layout = layout;
    d.table = readHashTable(layout, read);
    std::string header = encodeRecoveryHeader(layout);
    for (int copy = 0; copy < 2; ++copy) {
        uint8_t bytes[kRecoveryHeaderSize];
        d.headerDamaged[copy] = !read(layout.headerOffset(copy), bytes, kRecoveryHeaderSize) ||
                                std::memcmp(bytes, header.data(), kRecoveryHeaderSize) != 0;
    }
    if (d.table.lost != 0) return d;
    const RecoveryGeometry& g = layout.geometry;
    auto readParity = [&](uint64_t first, uint32_t cells, uint8_t* into) {
        return read(layout.parityOffset(first), into, cells * kCellSize);
    };
    if (!scanCells(g.parityCells(), &d.table.hashes[g.dataCells], readParity, d.parityCells, {})) return std::nullopt;
    ProtectedStream stream(layout, read);
    auto readData = [&](uint64_t first, uint32_t cells, uint8_t* into) { return stream.readCells(first, cells, into); };
    d.dataScanned = scanData;
    if (scanData && !scanCells(g.dataCells, d.table.hashes.data(), readData, d.dataCells, progress)) return std::nullopt;
    GroupCounts counts = countPerGroup(d);
    d.spare = g.parityPerGroup;
    for (uint64_t group = 0; group < g.groups; ++group) {
        uint32_t erased = counts.data[group] + counts.parity[group];
        if (counts.data[group] > 0 && erased > g.parityPerGroup) d.lostGroups.push_back(group);
        d.spare = std::min(d.spare, erased >= g.parityPerGroup ? 0 : g.parityPerGroup - erased);
    }
    return d;
}

std::optional<std::vector<Patch>> rebuildDamage(const RecoveryDamage& d, const ReadFileAt& read, std::string& why) {
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
        if (!rebuildGroup(d, code, group, dataBad, parityBad, read, patches)) {
            why = "the rebuilt bytes do not match the record's hashes";
            return std::nullopt;
        }
    }
    rebuildRecordParts(d, patches);
    std::sort(patches.begin(), patches.end(), [](const Patch& a, const Patch& b) { return a.offset < b.offset; });
    return patches;
}

}  // namespace qev
