// The two tools the recovery record is made and used with: the Reed-Solomon code of one
// group, and the protected stream (the archive without its record) read as cells.
#pragma once

#include <cstdint>
#include <vector>

#include "archive/records/recovery_record.h"

namespace qev {

// A systematic code of k data rows and m parity rows over GF(2^8), each row a cell. Rows
// 0..k-1 are the data, k..k+m-1 the parity.
class ParityCode {
public:
    ParityCode(uint32_t k, uint32_t m);

    // Adds data row `row` to the m parity cells.
    void addRow(uint32_t row, const uint8_t* cell, uint8_t* const* parity) const;

    // Computes the rows `wanted` (data or parity, none of them known) from k distinct known
    // rows and their cells. False when the rows are not so.
    bool rebuild(const std::vector<uint32_t>& known, const uint8_t* const* knownCells,
                 const std::vector<uint32_t>& wanted, uint8_t* const* out) const;

private:
    uint32_t k_, m_;
    std::vector<uint8_t> matrix_;  // (k + m) rows of k coefficients
    std::vector<uint8_t> tables_;  // ISA-L's expanded tables of the parity rows
};

// The protected stream: the file's bytes before the record, then those after it.
class ProtectedStream {
public:
    ProtectedStream(const RecoveryLayout& layout, const ArchiveFile& file) : layout_(layout), file_(file) {}

    // Reads `count` cells from cell `first`; zeros past the end of the stream.
    bool readCells(uint64_t first, uint32_t count, uint8_t* into) const;

    // The file ranges holding cell `cell`: where each lies, and where in the cell it starts.
    struct Piece {
        uint64_t fileOffset;
        uint32_t inCell;
        uint32_t length;
    };
    std::vector<Piece> piecesOf(uint64_t cell) const;

private:
    const RecoveryLayout& layout_;
    const ArchiveFile& file_;
};

}  // namespace qev
