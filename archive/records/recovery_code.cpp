#include "archive/records/recovery_code.h"

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
    for (uint32_t row : wanted) {
        if (row >= k_ + m_) return false;
    }
    // Data rows known, data rows lost, and the parity rows that stand in for the lost.
    std::vector<bool> isKnown(k_ + m_, false);
    for (uint32_t row : known) {
        if (row >= k_ + m_ || isKnown[row]) return false;
        isKnown[row] = true;
    }
    std::vector<uint32_t> lost, parity;
    for (uint32_t row = 0; row < k_; ++row) {
        if (!isKnown[row]) lost.push_back(row);
    }
    for (uint32_t row : known) {
        if (row >= k_) parity.push_back(row);
    }
    const size_t e = lost.size();  // == parity.size(), since k rows are known
    auto a = [&](uint32_t row, uint32_t column) { return matrix_[size_t(row) * k + column]; };
    // Each parity row r says: the sum over lost x of a[r][x] d_x equals p_r plus the sum
    // over known j of a[r][j] d_j. Solving that e-by-e system expresses every lost data row
    // as a combination of the known cells, which costs e^2 k, not the k^3 of inverting k rows.
    std::vector<uint8_t> system(e * e), inverse(e * e);
    for (size_t r = 0; r < e; ++r) {
        for (size_t x = 0; x < e; ++x) system[r * e + x] = a(parity[r], lost[x]);
    }
    if (e > 0 && gf_invert_matrix(system.data(), inverse.data(), int(e)) != 0) return false;
    // lostOf[x] holds lost row x as coefficients over the known rows, in `known`'s order.
    std::vector<std::vector<uint8_t>> lostOf(e, std::vector<uint8_t>(k, 0));
    for (size_t x = 0; x < e; ++x) {
        for (size_t i = 0; i < k; ++i) {
            uint8_t sum = 0;
            for (size_t r = 0; r < e; ++r) {
                uint8_t c = known[i] < k_ ? a(parity[r], known[i]) : uint8_t(known[i] == parity[r]);
                sum ^= gf_mul(inverse[x * e + r], c);
            }
            lostOf[x][i] = sum;
        }
    }
    // A wanted row is its matrix row over all data rows, the lost ones replaced as above.
    std::vector<uint8_t> coefficients(wanted.size() * k, 0);
    for (size_t w = 0; w < wanted.size(); ++w) {
        uint8_t* c = &coefficients[w * k];
        if (isKnown[wanted[w]]) return false;
        if (wanted[w] < k_) {
            size_t x = size_t(std::find(lost.begin(), lost.end(), wanted[w]) - lost.begin());
            std::copy(lostOf[x].begin(), lostOf[x].end(), c);
        } else if (wanted[w] >= k_) {
            for (size_t i = 0; i < k; ++i) {
                if (known[i] < k_) c[i] ^= a(wanted[w], known[i]);
            }
            for (size_t x = 0; x < e; ++x) {
                uint8_t factor = a(wanted[w], lost[x]);
                for (size_t i = 0; i < k; ++i) c[i] ^= gf_mul(factor, lostOf[x][i]);
            }
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
    if (begin < split && !file_.readAt(begin, into, uint32_t(std::min(end, split) - begin))) return false;
    if (end > split) {
        uint64_t from = std::max(begin, split);
        if (!file_.readAt(layout_.fileOffset(from), into + (from - begin), uint32_t(end - from))) return false;
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
