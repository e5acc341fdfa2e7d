// This toolset's own extension of the format: a recovery record of Reed-Solomon parity,
// from which damaged bytes anywhere else in the archive are rebuilt. It lies in the
// footer's second auxiliary section, which the format's readers never look at.
// docs/recovery-record.md gives the layout and what it can repair.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/read/archive_file.h"

namespace qev {

inline constexpr std::string_view kRecoveryMagic = "QEVRECOV";
inline constexpr uint32_t kRecoveryVersion = 1;
inline constexpr uint32_t kRecoveryHeaderSize = 128;
// The unit of damage and of repair: a disk sector.
inline constexpr uint32_t kCellSize = 4096;
// A chunk of the hash table: this many hashes, then XXH3-64 of them, in one cell.
inline constexpr uint32_t kHashesPerChunk = 1022;
// Every record can rebuild a run of 64 KiB, however it falls across cells.
inline constexpr uint64_t kMinParityCells = 17;
// Reed-Solomon over GF(2^8): a group holds at most this many cells, data and parity.
inline constexpr uint32_t kMaxGroupCells = 255;
// The asked size of a record, in hundredths of a percent of the archive.
inline constexpr uint32_t kMinRecoveryHundredths = 10;
inline constexpr uint32_t kMaxRecoveryHundredths = 5000;

// The archive without its record (the protected stream) is cut into cells. Cell n belongs
// to group n mod G as its row n / G; each group has k rows (those past the last cell are
// zeros) and m parity cells, parity cell p belonging to group p mod G. A run of damage
// therefore spreads over the groups, one cell to each before any gets a second.
struct RecoveryGeometry {
    uint64_t protectedSize = 0;   // L
    uint32_t hundredths = 0;      // the percentage asked, kept for rebuilding the record
    uint64_t dataCells = 0;       // N = ceil(L / cell)
    uint32_t groups = 0;          // G
    uint32_t dataPerGroup = 0;    // k = ceil(N / G)
    uint32_t parityPerGroup = 0;  // m

    uint64_t parityCells() const { return uint64_t(groups) * parityPerGroup; }
    uint64_t hashCount() const { return dataCells + parityCells(); }
    uint64_t hashChunks() const { return (hashCount() + kHashesPerChunk - 1) / kHashesPerChunk; }
    uint64_t hashCopySize() const { return hashCount() * 4 + hashChunks() * 8; }
    uint64_t recordSize() const {
        return 2 * uint64_t(kRecoveryHeaderSize) + 2 * hashCopySize() + parityCells() * kCellSize;
    }
    // Any run of this many bytes is rebuilt, wherever it lies.
    uint64_t runBytes() const { return (parityCells() - 1) * kCellSize; }
};

// The geometry for a protected stream of `protectedSize` bytes and a record of about
// `hundredths` / 100 percent of it, never less than kMinParityCells (nor more than N).
RecoveryGeometry planRecovery(uint64_t protectedSize, uint32_t hundredths);

// Where a record lies: header, hash table, parity cells, hash table again, header again.
struct RecoveryLayout {
    RecoveryGeometry geometry;
    uint64_t recordOffset = 0;
    // False only for a record found with both header copies damaged, when no share makes a
    // header that hashes as either copy did: its layout is borne out by its hash tables, but
    // the share its headers held is not known, so they cannot be made again as they were.
    bool shareProven = true;

    uint64_t recordSize() const { return geometry.recordSize(); }
    uint64_t fileSize() const { return geometry.protectedSize + recordSize(); }
    uint64_t headerOffset(int copy) const {
        return copy == 0 ? recordOffset : recordOffset + recordSize() - kRecoveryHeaderSize;
    }
    uint64_t hashCopyOffset(int copy) const {
        return copy == 0 ? recordOffset + kRecoveryHeaderSize : parityOffset(0) + geometry.parityCells() * kCellSize;
    }
    uint64_t parityOffset(uint64_t cell) const {
        return recordOffset + kRecoveryHeaderSize + geometry.hashCopySize() + cell * kCellSize;
    }
    // The file offset of byte `at` of the protected stream.
    uint64_t fileOffset(uint64_t at) const { return at < recordOffset ? at : at + recordSize(); }
};

std::string encodeRecoveryHeader(const RecoveryLayout& layout);
// A header whose hash, magic, version and geometry hold, and whose record fits in a file
// of `fileSize` bytes; nothing otherwise.
std::optional<RecoveryLayout> decodeRecoveryHeader(const uint8_t* bytes, uint64_t fileSize);

using WriteFileAt = std::function<bool(uint64_t offset, std::string_view bytes)>;
// Told how many cells of the protected stream have been read, of how many, as long work goes.
using CellProgress = std::function<void(uint64_t done, uint64_t total)>;

// The record of a file of `fileSize` bytes: where its footer's second auxiliary section
// says (`footer` may be null when the footer is unreadable), else the copy of the header
// that ends where the footer begins, else, with `searchBack` (for a file that may be
// damaged: it reads the whole file), the last valid header found searching back from the
// end. Where no header copy holds, the geometry is planned again from the sizes the footer
// gives and, with `searchBack`, from the file's size alone, and taken where the record's
// hash tables bear it out.
std::optional<RecoveryLayout> findRecoveryRecord(uint64_t fileSize, const uint8_t* footer, const ArchiveFile& file,
                                                 bool searchBack);

// Reads the protected stream from `file` and writes the whole record through `write`,
// at the file offsets of `layout`. Parity is held for at most a bounded number of groups
// at a time. False when a read or a write fails.
bool writeRecoveryRecord(const RecoveryLayout& layout, const ArchiveFile& file, const WriteFileAt& write,
                         const CellProgress& progress = {});

// The hash of a cell: the low 32 bits of XXH3-64 of its 4096 bytes (zeros past the end).
uint32_t cellHash(const uint8_t* cell);

// One encoded copy of a hash table, and the table read back from its two copies (a chunk
// is taken from whichever copy's chunk hash holds). `lost` counts the chunks bad in both;
// `damaged[copy]` lists, per copy, its chunks that need rewriting.
std::string encodeHashCopy(const std::vector<uint32_t>& hashes);
struct HashTable {
    std::vector<uint32_t> hashes;
    uint64_t lost = 0;
    std::vector<uint64_t> damaged[2];
};
// A chunk that cannot be read counts as damaged.
HashTable readHashTable(const RecoveryLayout& layout, const ArchiveFile& file);

}  // namespace qev
