// The recovery record's arithmetic: the planned geometry's promises, and the code giving
// back lost cells for every shape of group the planner makes.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "archive/format/format.h"
#include "archive/records/recovery_code.h"

namespace qev {
namespace {

TEST(RecoveryPlan, KeepsItsPromisesAtEverySize) {
    for (uint64_t size : {uint64_t(1), uint64_t(4096), uint64_t(70000), uint64_t(3) << 20, uint64_t(100) << 20,
                          uint64_t(30) << 30, uint64_t(1) << 40}) {
        for (uint32_t hundredths : {kMinRecoveryHundredths, 100u, 200u, kMaxRecoveryHundredths}) {
            RecoveryGeometry g = planRecovery(size, hundredths);
            SCOPED_TRACE(std::to_string(size) + " bytes at " + std::to_string(hundredths));
            EXPECT_EQ(g.dataCells, std::max<uint64_t>(1, (size + kCellSize - 1) / kCellSize));
            EXPECT_LE(g.dataPerGroup + g.parityPerGroup, kMaxGroupCells);
            EXPECT_GE(uint64_t(g.dataPerGroup) * g.groups, g.dataCells);
            EXPECT_LT(uint64_t(g.dataPerGroup - 1) * g.groups, g.dataCells);
            // Any run of 64 KiB is rebuilt wherever there is as much to rebuild it from.
            EXPECT_GE(g.parityCells(), std::min(kMinParityCells, g.dataCells));
            // Its header reads back: every planned geometry is one a reader accepts.
            RecoveryLayout layout{g, size > kFooterSize ? size - kFooterSize : 0};
            std::string header = encodeRecoveryHeader(layout);
            auto read = decodeRecoveryHeader(reinterpret_cast<const uint8_t*>(header.data()), layout.fileSize());
            ASSERT_TRUE(read.has_value());
            EXPECT_EQ(read->recordSize(), g.recordSize());
            // Above the floor, the record stays within its share and a few KiB.
            uint64_t share = size / 10000 * hundredths;
            if (share > 2 * kMinParityCells * kCellSize && hundredths >= 100) {
                EXPECT_LE(g.recordSize(), share + g.parityPerGroup * uint64_t(kCellSize) + 16384);
            }
        }
    }
}

TEST(ParityCode, GivesBackAnyLostRowsUpToItsParity) {
    struct Shape {
        uint32_t k, m;
    };
    std::mt19937 random(7);
    for (Shape s : {Shape{1, 1}, Shape{3, 3}, Shape{40, 17}, Shape{200, 2}, Shape{250, 5}}) {
        SCOPED_TRACE(std::to_string(s.k) + "+" + std::to_string(s.m));
        ParityCode code(s.k, s.m);
        std::vector<std::vector<uint8_t>> rows(s.k + s.m, std::vector<uint8_t>(kCellSize, 0));
        std::vector<uint8_t*> parity;
        for (uint32_t i = 0; i < s.m; ++i) parity.push_back(rows[s.k + i].data());
        for (uint32_t r = 0; r < s.k; ++r) {
            for (uint8_t& b : rows[r]) b = uint8_t(random());
            code.addRow(r, rows[r].data(), parity.data());
        }
        // Lose data only, parity only, and a mix, each up to m rows.
        for (int pattern = 0; pattern < 6; ++pattern) {
            std::vector<uint32_t> order(s.k + s.m);
            for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
            std::shuffle(order.begin(), order.end(), random);
            if (pattern % 3 == 0)
                std::stable_partition(order.begin(), order.end(), [&](uint32_t r) { return r < s.k; });
            if (pattern % 3 == 1)
                std::stable_partition(order.begin(), order.end(), [&](uint32_t r) { return r >= s.k; });
            uint32_t lostCount = 1 + uint32_t(random() % s.m);
            std::vector<uint32_t> wanted(order.begin(), order.begin() + lostCount);
            std::vector<uint32_t> known(order.begin() + lostCount, order.begin() + lostCount + s.k);
            std::vector<const uint8_t*> knownCells;
            for (uint32_t r : known) knownCells.push_back(rows[r].data());
            std::vector<std::vector<uint8_t>> out(wanted.size(), std::vector<uint8_t>(kCellSize));
            std::vector<uint8_t*> outCells;
            for (auto& o : out) outCells.push_back(o.data());
            ASSERT_TRUE(code.rebuild(known, knownCells.data(), wanted, outCells.data()));
            for (size_t w = 0; w < wanted.size(); ++w) EXPECT_TRUE(out[w] == rows[wanted[w]]) << "row " << wanted[w];
        }
    }
}

}  // namespace
}  // namespace qev
