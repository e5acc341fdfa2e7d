#include "archive/records/recovery_record.h"

#include <algorithm>
#include <cstring>

#include "archive/format/block_hash.h"
#include "archive/format/format.h"
#include "archive/records/recovery_code.h"

namespace qev {
namespace {

// Parity held at once while encoding; an archive needing more is read in several passes,
// each for a range of groups.
constexpr uint64_t kParityHeld = 64 << 20;
constexpr uint32_t kPieceCells = 256;
// The header's own hash covers its first 120 bytes and lies in its last 8.
constexpr uint32_t kHeaderHashed = kRecoveryHeaderSize - 8;

uint64_t divideUp(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }

// Whether a decoded geometry is one a planner could have made: every count consistent, so
// that nothing sized from it can exceed the file.
bool consistent(const RecoveryGeometry& g) {
    if (g.protectedSize == 0 || g.groups == 0 || g.parityPerGroup == 0 || g.dataPerGroup == 0) return false;
    if (g.dataCells != divideUp(g.protectedSize, kCellSize)) return false;
    if (g.dataPerGroup != divideUp(g.dataCells, g.groups)) return false;
    return uint64_t(g.dataPerGroup) + g.parityPerGroup <= kMaxGroupCells && g.groups <= g.dataCells;
}

}  // namespace

RecoveryGeometry planRecovery(uint64_t protectedSize, uint32_t hundredths) {
    RecoveryGeometry g;
    g.protectedSize = protectedSize;
    g.hundredths = hundredths;
    g.dataCells = std::max<uint64_t>(1, divideUp(protectedSize, kCellSize));
    // The asked size pays for the headers and the two copies of the data cells' hashes
    // (8 bytes a cell, and a chunk hash for every kHashesPerChunk), then for parity cells,
    // each with its two hashes.
    uint64_t budget = protectedSize / 10000 * hundredths + protectedSize % 10000 * hundredths / 10000;
    uint64_t hashes = 2 * uint64_t(kRecoveryHeaderSize) + 8 * g.dataCells + 16 * divideUp(g.dataCells, kHashesPerChunk);
    uint64_t wanted = budget > hashes ? (budget - hashes) / (kCellSize + 9) : 0;
    wanted = std::min(std::max(wanted, kMinParityCells), g.dataCells);
    // The most parity per group that keeps a group within the field: more per group means
    // more scattered cells rebuilt.
    for (uint64_t m = std::min<uint64_t>(wanted, kMaxGroupCells / 2); m >= 1; --m) {
        uint64_t groups = divideUp(wanted, m);
        uint64_t k = divideUp(g.dataCells, groups);
        if (k + m <= kMaxGroupCells) {
            g.groups = uint32_t(groups);
            g.parityPerGroup = uint32_t(m);
            break;
        }
    }
    if (g.groups == 0) {  // so little parity that even one cell a group needs more groups
        g.parityPerGroup = 1;
        g.groups = uint32_t(divideUp(g.dataCells, kMaxGroupCells - 1));
    }
    g.dataPerGroup = uint32_t(divideUp(g.dataCells, g.groups));
    return g;
}

std::string encodeRecoveryHeader(const RecoveryLayout& layout) {
    const RecoveryGeometry& g = layout.geometry;
    std::string out(kRecoveryMagic);
    appendBE(out, kRecoveryVersion, 4);
    appendBE(out, kRecoveryHeaderSize, 4);
    appendBE(out, layout.recordOffset, 8);
    appendBE(out, layout.recordSize(), 8);
    appendBE(out, g.protectedSize, 8);
    appendBE(out, kCellSize, 4);
    appendBE(out, g.hundredths, 4);
    appendBE(out, g.dataCells, 8);
    appendBE(out, g.groups, 4);
    appendBE(out, g.dataPerGroup, 4);
    appendBE(out, g.parityPerGroup, 4);
    out.resize(kHeaderHashed, '\0');
    appendBE(out, hashBytes(out), 8);
    return out;
}

std::optional<RecoveryLayout> decodeRecoveryHeader(const uint8_t* p, uint64_t fileSize) {
    if (std::memcmp(p, kRecoveryMagic.data(), kRecoveryMagic.size()) != 0) return std::nullopt;
    if (loadBE64(p + kHeaderHashed) != hashBytes({reinterpret_cast<const char*>(p), kHeaderHashed}))
        return std::nullopt;
    if (loadBE32(p + 8) != kRecoveryVersion || loadBE32(p + 12) != kRecoveryHeaderSize ||
        loadBE32(p + 40) != kCellSize) {
        return std::nullopt;
    }
    RecoveryLayout layout;
    layout.recordOffset = loadBE64(p + 16);
    RecoveryGeometry& g = layout.geometry;
    g.protectedSize = loadBE64(p + 32);
    g.hundredths = loadBE32(p + 44);
    g.dataCells = loadBE64(p + 48);
    g.groups = loadBE32(p + 56);
    g.dataPerGroup = loadBE32(p + 60);
    g.parityPerGroup = loadBE32(p + 64);
    // Consistent counts bound every size below by the file's, so none of these can wrap.
    if (!consistent(g) || g.protectedSize > fileSize || g.dataCells > fileSize) return std::nullopt;
    uint64_t recordSize = loadBE64(p + 24);
    if (recordSize != g.recordSize() || recordSize != fileSize - g.protectedSize) return std::nullopt;
    if (layout.recordOffset > g.protectedSize) return std::nullopt;
    return layout;
}

uint32_t cellHash(const uint8_t* cell) { return uint32_t(hashBytes({reinterpret_cast<const char*>(cell), kCellSize})); }

std::string encodeHashCopy(const std::vector<uint32_t>& hashes) {
    std::string out;
    out.reserve(hashes.size() * 4 + divideUp(hashes.size(), kHashesPerChunk) * 8);
    for (size_t first = 0; first < hashes.size(); first += kHashesPerChunk) {
        size_t at = out.size();
        for (size_t i = first; i < std::min(hashes.size(), first + kHashesPerChunk); ++i) appendBE(out, hashes[i], 4);
        appendBE(out, hashBytes(std::string_view(out).substr(at)), 8);
    }
    return out;
}

HashTable readHashTable(const RecoveryLayout& layout, const ArchiveFile& file) {
    const RecoveryGeometry& g = layout.geometry;
    HashTable table;
    table.hashes.resize(g.hashCount());
    std::vector<uint8_t> chunk(kCellSize);
    for (uint64_t c = 0; c < g.hashChunks(); ++c) {
        uint64_t first = c * kHashesPerChunk;
        uint32_t count = uint32_t(std::min<uint64_t>(kHashesPerChunk, g.hashCount() - first));
        uint32_t bytes = count * 4 + 8;
        bool taken = false;
        for (int copy = 0; copy < 2; ++copy) {
            uint64_t at = layout.hashCopyOffset(copy) + c * kCellSize;
            bool good = file.readAt(at, chunk.data(), bytes) &&
                        loadBE64(&chunk[count * 4]) ==
                            hashBytes({reinterpret_cast<const char*>(chunk.data()), size_t(count) * 4});
            if (!good) {
                table.damaged[copy].push_back(c);
            } else if (!taken) {
                for (uint32_t i = 0; i < count; ++i) table.hashes[first + i] = loadBE32(&chunk[4 * i]);
                taken = true;
            }
        }
        table.lost += !taken;
    }
    return table;
}

bool writeRecoveryRecord(const RecoveryLayout& layout, const ArchiveFile& file, const WriteFileAt& write,
                         const CellProgress& progress) {
    const RecoveryGeometry& g = layout.geometry;
    const uint32_t k = g.dataPerGroup, m = g.parityPerGroup;
    ParityCode code(k, m);
    std::vector<uint32_t> hashes(g.hashCount());
    uint64_t batch = std::max<uint64_t>(1, kParityHeld / (uint64_t(m) * kCellSize));
    std::vector<uint8_t> piece(size_t(kPieceCells) * kCellSize);
    ProtectedStream stream(layout, file);
    uint64_t done = 0;
    for (uint64_t g0 = 0; g0 < g.groups; g0 += batch) {
        uint64_t g1 = std::min<uint64_t>(g.groups, g0 + batch);
        // Parity row i of groups g0..g1 lies in the file as one run: held as one here.
        const uint64_t span = g1 - g0;
        std::vector<uint8_t> parity(span * m * kCellSize, 0);
        std::vector<uint8_t*> rows(m);
        // Row j of groups g0..g1 is a run of cells; each cell is read once over all passes.
        for (uint64_t j = 0; j < k; ++j) {
            uint64_t first = j * g.groups + g0, end = std::min(j * g.groups + g1, g.dataCells);
            for (uint64_t at = first; at < end; at += kPieceCells) {
                uint32_t cells = uint32_t(std::min<uint64_t>(kPieceCells, end - at));
                if (!stream.readCells(at, cells, piece.data())) return false;
                if (progress) progress(done += cells, g.dataCells);
                for (uint32_t c = 0; c < cells; ++c) {
                    uint8_t* cell = &piece[size_t(c) * kCellSize];
                    hashes[at + c] = cellHash(cell);
                    uint64_t group = (at + c) % g.groups - g0;
                    for (uint32_t i = 0; i < m; ++i) rows[i] = &parity[(i * span + group) * kCellSize];
                    code.addRow(uint32_t(j), cell, rows.data());
                }
            }
        }
        for (uint32_t i = 0; i < m; ++i) {
            const uint8_t* run = &parity[i * span * kCellSize];
            uint64_t first = g0 + uint64_t(i) * g.groups;
            for (uint64_t c = 0; c < span; ++c) hashes[g.dataCells + first + c] = cellHash(run + c * kCellSize);
            if (!write(layout.parityOffset(first), {reinterpret_cast<const char*>(run), size_t(span) * kCellSize})) {
                return false;
            }
        }
    }
    std::string header = encodeRecoveryHeader(layout);
    std::string copy = encodeHashCopy(hashes);
    return write(layout.headerOffset(0), header) && write(layout.hashCopyOffset(0), copy) &&
           write(layout.hashCopyOffset(1), copy) && write(layout.headerOffset(1), header);
}

}  // namespace qev
