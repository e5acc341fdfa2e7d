#include "archive/recovery_code.h"

#include <isa-l/erasure_code.h>

#include <algorithm>
#include <cstring>

namespace qev {

ParityCode::ParityCode(uint32_t k, uint32_t m) : k_(k), m_(m), matrix_(size_t(k + m) * k), tables_(32 * size_t(k) * m) {
    // A Cauchy matrix under the identity: any k of its rows are independent.
    gf_gen_cauchy1_matrix(matrix_.data(), int(k + m), int(k));
    ec_init_tables(int(k), int(m), &matrix_[size_t(k) * k], tables_.data());
}

void ParityCode::addRow(uint32_t row, const uint8_t* cell, uint8_t* const* parity) const {
    ec_encode_data_update(int(kCellSize), int(k_), int(m_), int(row), const_cast<uint8_t*>(tables_.data()),
                          const_cast<uint8_t*>(cell), const_cast<uint8_t**>(parity));
}

bool ParityCode::rebuild(const std::vector<uint32_t>& known, const uint8_t* const* knownCells,
                         const std::vector<uint32_t>& wanted, uint8_t* const* out) const {
    const size_t k = k_;
    if (known.size() != k || wanted.empty()) return false;
    std::vector<uint8_t> chosen(k * k), inverse(k * k);
    for (size_t r = 0; r < k; ++r) {
        if (known[r] >= k_ + m_) return false;
        std::memcpy(&chosen[r * k], &matrix_[size_t(known[r]) * k], k);
    }
    if (gf_invert_matrix(chosen.data(), inverse.data(), int(k)) != 0) return false;
    // A wanted row is its matrix row times the inverse, applied to the known cells.
    std::vector<uint8_t> coefficients(wanted.size() * k, 0);
    for (size_t w = 0; w < wanted.size(); ++w) {
        const uint8_t* row = &matrix_[size_t(wanted[w]) * k];
        for (size_t c = 0; c < k; ++c) {
            uint8_t sum = 0;
            for (size_t i = 0; i < k; ++i) sum ^= gf_mul(row[i], inverse[i * k + c]);
            coefficients[w * k + c] = sum;
        }
    }
    std::vector<uint8_t> tables(32 * k * wanted.size());
    ec_init_tables(int(k), int(wanted.size()), coefficients.data(), tables.data());
    ec_encode_data(int(kCellSize), int(k), int(wanted.size()), tables.data(), const_cast<uint8_t**>(knownCells),
                   const_cast<uint8_t**>(out));
    return true;
}

bool ProtectedStream::readCells(uint64_t first, uint32_t count, uint8_t* into) const {
    std::memset(into, 0, size_t(count) * kCellSize);
    uint64_t size = layout_.geometry.protectedSize, split = layout_.recordOffset;
    uint64_t begin = std::min(first * kCellSize, size), end = std::min((first + count) * kCellSize, size);
    // At most two reads: the part before the record and the part after it.
    if (begin < split && !read_(begin, into, uint32_t(std::min(end, split) - begin))) return false;
    if (end > split) {
        uint64_t from = std::max(begin, split);
        if (!read_(layout_.fileOffset(from), into + (from - begin), uint32_t(end - from))) return false;
    }
    return true;
}

std::vector<ProtectedStream::Piece> ProtectedStream::piecesOf(uint64_t cell) const {
    std::vector<Piece> pieces;
    uint64_t size = layout_.geometry.protectedSize, split = layout_.recordOffset;
    uint64_t begin = cell * kCellSize;
    if (begin >= size) return pieces;
    uint64_t end = std::min(begin + kCellSize, size);
    if (begin < split) {
        uint64_t stop = std::min(end, split);
        pieces.push_back({begin, 0, uint32_t(stop - begin)});
    }
    if (end > split) {
        uint64_t from = std::max(begin, split);
        pieces.push_back({layout_.fileOffset(from), uint32_t(from - begin), uint32_t(end - from)});
    }
    return pieces;
}

}  // namespace qev
