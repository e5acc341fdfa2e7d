#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "archive/read/archive_reader.h"
#include "archive/testing/stream_archive_file.h"
#include "tests/support/recording_stream.h"
#include "tests/support/test_files.h"
#include "tests/support/test_names.h"

namespace qev {
namespace {

using testing::ArchiveBuilder;
using testing::RecordingStream;

// Reads a whole file; an empty optional when the read came up short.
std::optional<std::string> readWhole(ArchiveReader& r, NodeId node) {
    std::string out(r.index().fileSize(node), '\0');
    uint64_t got = r.readFile(node, 0, out.size(), reinterpret_cast<uint8_t*>(out.data()));
    if (got != out.size()) return std::nullopt;
    return out;
}

std::string readRange(ArchiveReader& r, NodeId node, uint64_t position, uint64_t length) {
    std::string out(std::min(length, r.index().fileSize(node)), '\0');
    out.resize(r.readFile(node, position, length, reinterpret_cast<uint8_t*>(out.data())));
    return out;
}

// An opened archive whose stream logs every read.
struct Recorded {
    std::unique_ptr<ArchiveReader> reader;
    RecordingStream* stream;

    explicit Recorded(std::string bytes) {
        auto owned = std::make_unique<RecordingStream>(std::move(bytes));
        stream = owned.get();
        std::unique_ptr<std::istream> handle = std::move(owned);
        reader = openArchiveStream(handle);
        stream->buf().reads.clear();
    }
    size_t reads() const { return stream->buf().reads.size(); }
};

const std::string kSmall = "tiny";
const std::string kMixed = testing::patterned(200000) + testing::incompressible(150000, 7);

ArchiveBuilder mixedArchive() {
    // "small" sits inside block 0; "mixed" starts 4 bytes in and spans six blocks, some
    // compressed and some raw.
    return ArchiveBuilder().file("small", kSmall).file("mixed", kMixed).file("empty", "");
}

TEST(Reads, WholeFilesComeBackByteForByte) {
    ArchiveBuilder b = mixedArchive().leadingBytes(4096);
    auto reader = testing::openBytes(b.build());
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(readWhole(*reader, b.node("small")), kSmall);
    EXPECT_EQ(readWhole(*reader, b.node("mixed")), kMixed);
    EXPECT_EQ(readWhole(*reader, b.node("empty")), "");
}

TEST(Reads, RawAndCompressedBlocksAreBothPresent) {
    auto reader = testing::openBytes(mixedArchive().build());
    // Block 0 holds patterned bytes; block 4 lies wholly in the incompressible part.
    EXPECT_LT(reader->index().locateBlock(0)->storedLength, kBlockSize);
    EXPECT_EQ(reader->index().locateBlock(4)->storedLength, kBlockSize);
}

struct RangeCase {
    uint64_t position;
    uint64_t length;
};
inline void PrintTo(const RangeCase& c, std::ostream* os) { *os << c.position << "+" << c.length; }

class Ranges : public ::testing::TestWithParam<RangeCase> {};

TEST_P(Ranges, MatchTheSource) {
    ArchiveBuilder b = mixedArchive();
    auto reader = testing::openBytes(b.build());
    RangeCase c = GetParam();
    std::string expected = c.position < kMixed.size() ? kMixed.substr(c.position, c.length) : "";
    EXPECT_EQ(readRange(*reader, b.node("mixed"), c.position, c.length), expected);
}

// "mixed" starts at stream position 4, so file position 65532 is the first byte of block 1.
std::string rangeName(const ::testing::TestParamInfo<RangeCase>& info) {
    return "At" + std::to_string(info.param.position) + "Length" + std::to_string(info.param.length);
}

INSTANTIATE_TEST_SUITE_P(Reads, Ranges,
                         ::testing::Values(RangeCase{0, 1}, RangeCase{65531, 2}, RangeCase{65532, 65536},
                                           RangeCase{100, 300000}, RangeCase{349999, 1}, RangeCase{349990, 1000},
                                           RangeCase{0, UINT64_MAX}, RangeCase{350000, 1}, RangeCase{UINT64_MAX, 10}),
                         rangeName);

TEST(Reads, NothingToReadReturnsZeroWithoutFetching) {
    ArchiveBuilder b = mixedArchive();
    Recorded r(b.build());
    ArchiveReader& reader = *r.reader;
    uint8_t byte;
    EXPECT_EQ(reader.readFile(b.node("mixed"), 0, 0, nullptr), 0u);
    EXPECT_EQ(reader.readFile(b.node("mixed"), kMixed.size(), 1, &byte), 0u);
    EXPECT_EQ(reader.readFile(b.node("empty"), 0, 1, &byte), 0u);
    EXPECT_EQ(reader.readFile(0, 0, 1, &byte), 0u);
    EXPECT_EQ(reader.readFile(kInvalidNode, 0, 1, &byte), 0u);
    EXPECT_EQ(reader.readFile(1000, 0, 1, &byte), 0u);
    EXPECT_EQ(r.reads(), 0u);
}

TEST(Reads, TouchOnlyTheBlocksOfTheRangeAndReuseTheCache) {
    ArchiveBuilder b = mixedArchive();
    Recorded r(b.build());
    NodeId mixed = b.node("mixed");
    readRange(*r.reader, mixed, 10, 100);
    EXPECT_EQ(r.reads(), 1u);
    // Two bytes across the boundary of blocks 0 and 1: one more block.
    readRange(*r.reader, mixed, 65531, 2);
    EXPECT_EQ(r.reads(), 2u);
    readRange(*r.reader, mixed, 0, 65536 + 100);
    EXPECT_EQ(r.reads(), 2u);
}

TEST(Reads, RawBlockGoesStraightFromTheFile) {
    ArchiveBuilder b = mixedArchive();
    Recorded r(b.build());
    BlockLocation at = *r.reader->index().locateBlock(4);
    ASSERT_EQ(at.storedLength, kBlockSize);
    readRange(*r.reader, b.node("mixed"), 4 * 65536, 1);
    ASSERT_EQ(r.reads(), 1u);
    EXPECT_EQ(r.stream->buf().reads[0], (testing::ReadCall{at.fileOffset, kBlockSize}));
}

TEST(Reads, ReadsLargerThanTheCacheBypassItAndStayExact) {
    // 70 blocks: more than the cache holds, so whole blocks go straight to the caller.
    std::string big = testing::patterned(70 * 65536 - 1000) + testing::incompressible(1000);
    ArchiveBuilder b;
    b.file("pad", "xyz").file("big", big);
    Recorded r(b.build());
    readRange(*r.reader, 2, 20 * 65536, 10);  // block 20 is now cached
    size_t before = r.reads();
    EXPECT_EQ(readWhole(*r.reader, 2), big);
    EXPECT_EQ(r.reads() - before, 70u);  // 71 blocks touched, one of them from the cache
    // Only the partial first and last blocks went through the cache.
    EXPECT_EQ(r.reader->cacheState().filledCount(), 3u);

    auto damaged =
        testing::openBytes(ArchiveBuilder(b).editBlock(40, [](std::string& s) { s.resize(s.size() - 9); }).build());
    EXPECT_EQ(readWhole(*damaged, 2), std::nullopt);
}

TEST(Reads, SixtyFiveBlocksEvictTheFirst) {
    ArchiveBuilder b;
    std::string big = testing::patterned(65 * 65536);
    b.file("big", big);
    Recorded r(b.build());
    const BlockCache& cache = r.reader->cacheState();
    for (uint64_t block = 0; block < 65; ++block) readRange(*r.reader, 1, block * 65536, 1);
    EXPECT_EQ(cache.slotAt(0).blockIndex, 64u);
    EXPECT_EQ(cache.slotAt(1).blockIndex, 1u);
    EXPECT_EQ(r.reads(), 65u);
    readRange(*r.reader, 1, 0, 1);  // block 0 was evicted: read again
    EXPECT_EQ(r.reads(), 66u);
    readRange(*r.reader, 1, 64 * 65536, 1);  // block 64 is still cached
    EXPECT_EQ(r.reads(), 66u);
}

struct DamageCase {
    const char* what;
    std::function<void(ArchiveBuilder&)> damage;
    bool readsFile;  // whether the failing fetch still reads the archive
};
QEV_PRINT_CASE_AS_WHAT(DamageCase)

class DamagedBlocks : public ::testing::TestWithParam<DamageCase> {};

// "mixed" covers blocks 0 to 5; the last one is damaged. "small" lies in block 0.
constexpr uint64_t kDamaged = 5;

TEST_P(DamagedBlocks, FailTheReadAndSpareTheRest) {
    ArchiveBuilder b = mixedArchive();
    GetParam().damage(b);
    Recorded r(b.build());
    ASSERT_NE(r.reader, nullptr);
    ArchiveReader& reader = *r.reader;
    NodeId mixed = b.node("mixed");
    EXPECT_EQ(readRange(reader, b.node("small"), 0, 4), kSmall);
    size_t before = r.reads();
    EXPECT_EQ(readWhole(reader, mixed), std::nullopt);
    // Blocks 1 to 4 came from the file; the damaged block failed with or without a read.
    EXPECT_EQ(r.reads() - before, GetParam().readsFile ? 5u : 4u);
    const BlockCache& cache = reader.cacheState();
    EXPECT_EQ(cache.newestSlot()->blockIndex, kNoBlock);
    EXPECT_EQ(cache.filledCount(), kDamaged);
    // The other blocks stay cached and are served without touching the file.
    before = r.reads();
    EXPECT_EQ(readRange(reader, b.node("small"), 0, 4), kSmall);
    EXPECT_EQ(readRange(reader, mixed, 0, kDamaged * 65536 - 4), kMixed.substr(0, kDamaged * 65536 - 4));
    EXPECT_EQ(r.reads(), before);
}

void setBlock(ArchiveBuilder& b, std::string stored) {
    b.editBlock(kDamaged, [=](std::string& s) { s = stored; });
}

INSTANTIATE_TEST_SUITE_P(
    Reads, DamagedBlocks,
    ::testing::Values(DamageCase{"NotZstandard", [](auto& b) { setBlock(b, "garbage bytes"); }, true},
                      DamageCase{"Truncated",
                                 [](auto& b) { b.editBlock(kDamaged, [](std::string& s) { s.resize(s.size() / 2); }); },
                                 true},
                      DamageCase{"DecompressesShort",
                                 [](auto& b) { setBlock(b, testing::compressed(std::string(65535, 'a'))); }, true},
                      DamageCase{"DecompressesLong",
                                 [](auto& b) { setBlock(b, testing::compressed(std::string(65537, 'a'))); }, true},
                      DamageCase{"OneByte", [](auto& b) { setBlock(b, "x"); }, true},
                      DamageCase{"EndsPastDataSection",
                                 [](auto& b) { b.editFooter([](auto& f) { f.dataSection.size -= 1; }); }, false}),
    testing::NameFromWhat());

TEST(Reads, OffsetsThatWrapOrLeaveTheDataSectionFail) {
    ArchiveBuilder b = mixedArchive();
    std::string bytes = b.build();
    uint64_t first = testing::openBytes(bytes)->index().locateBlock(0)->storedLength;
    uint64_t second = testing::openBytes(bytes)->index().locateBlock(1)->storedLength;
    // base + the lengths before block 2 wraps past 2^64 to 0, which alone would pass.
    for (uint64_t base : {UINT64_MAX - 5, 0 - first - second}) {
        auto reader =
            testing::openBytes(ArchiveBuilder(b).editRecords([=](auto& recs) { recs[0].base = base; }).build());
        for (uint64_t block = 0; block < 16; ++block) EXPECT_FALSE(reader->index().locateBlock(block));
        EXPECT_EQ(readWhole(*reader, b.node("small")), std::nullopt);
    }
    auto noData = testing::openBytes(ArchiveBuilder(b).editFooter([](auto& f) { f.dataSection.size = 0; }).build());
    ASSERT_NE(noData, nullptr);
    EXPECT_EQ(readWhole(*noData, b.node("small")), std::nullopt);
}

TEST(Reads, BlocksPastTheOffsetTableDoNotExist) {
    // One record addresses blocks 0 to 15; a file reaching block 16 cannot be read.
    ArchiveBuilder b;
    b.file("f", testing::patterned(16 * 65536));
    b.editTree([](auto& t) { t[1] = testing::fileEntry(t[1].nameOffset(), 16 * 65536 - 1, 3); });
    Recorded r(b.build());
    EXPECT_EQ(r.reader->index().blockCount(), 16u);
    EXPECT_TRUE(r.reader->index().locateBlock(15).has_value());
    EXPECT_FALSE(r.reader->index().locateBlock(16).has_value());
    EXPECT_FALSE(r.reader->index().fileBlocksLocatable(1));
    EXPECT_EQ(readWhole(*r.reader, 1), std::nullopt);
    // The miss on block 16 changes nothing in the cache; block 15 was read and kept.
    EXPECT_EQ(r.reader->cacheState().newestSlot()->blockIndex, 15u);
}

TEST(Reads, FileBlocksLocatable) {
    ArchiveBuilder b = mixedArchive();
    auto reader = testing::openBytes(b.build());
    EXPECT_TRUE(reader->index().fileBlocksLocatable(b.node("mixed")));
    EXPECT_TRUE(reader->index().fileBlocksLocatable(b.node("empty")));
    EXPECT_FALSE(reader->index().fileBlocksLocatable(0));
    EXPECT_FALSE(reader->index().fileBlocksLocatable(kInvalidNode));

    ArchiveBuilder huge;
    huge.file("huge", "x");
    huge.editTree([](auto& t) { t[1].words[2] = 0xFFFFFFFF, t[1].words[3] = 0xFFFF0000; });
    EXPECT_FALSE(testing::openBytes(huge.build())->index().fileBlocksLocatable(1));
}

TEST(Reads, ArchiveTruncatedUnderneathGivesShortReadsThenRecovers) {
    ArchiveBuilder b = mixedArchive();
    std::string bytes = b.build();
    Recorded r(bytes);
    BlockLocation third = *r.reader->index().locateBlock(3);
    r.stream->buf().truncate(third.fileOffset + 10);
    NodeId mixed = b.node("mixed");
    EXPECT_EQ(readWhole(*r.reader, mixed), std::nullopt);
    // Bytes still present read again: one failed read does not poison the stream.
    EXPECT_EQ(readRange(*r.reader, mixed, 65536 * 2, 5), kMixed.substr(65536 * 2, 5));
}

TEST(Reads, FileChangedOnDiskAfterOpeningFailsReads) {
    ArchiveBuilder b = mixedArchive();
    std::string bytes = b.build();
    NodeId small = b.node("small");
    struct Change {
        const char* what;
        std::function<void(const std::filesystem::path&)> apply;
    };
    const Change changes[] = {
        {"truncated", [&](auto& p) { std::filesystem::resize_file(p, bytes.size() / 2); }},
        {"rewritten in place",
         [&](auto& p) {
             std::string other = bytes;
             other[100] ^= 1;
             testing::writeFile(p, other);
         }},
        {"grown", [&](auto& p) { std::filesystem::resize_file(p, bytes.size() + 1); }},
    };
    for (const Change& change : changes) {
        testing::TempFile file;
        file.write(bytes);
        // Modification times can be coarse: date the original back so that a change shows.
        std::filesystem::last_write_time(file.path(),
                                         std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
        auto reader = openArchive(file.path());
        ASSERT_NE(reader, nullptr);
        EXPECT_EQ(readRange(*reader, small, 0, 4), kSmall);
        EXPECT_EQ(readRange(*reader, small, 0, 4), kSmall);
        change.apply(file.path());
        EXPECT_EQ(readRange(*reader, small, 0, 4), "") << change.what;
        EXPECT_EQ(readWhole(*reader, b.node("mixed")), std::nullopt) << change.what;
    }
}

TEST(Reads, MoreThan4GiBInOneCall) {
    // Every record shares one run of 16 raw blocks, so 4 GiB of file needs only 1 MiB of data.
    std::string run = testing::incompressible(16 * 65536, 3);
    const uint64_t size = (uint64_t(1) << 32) + 3;
    const uint64_t records = size / (16 * 65536) + 1;
    ArchiveBuilder b;
    b.file("big", run);
    b.editRecords([&](std::vector<BlockOffsetRecord>& recs) { recs.resize(records, recs[0]); });
    b.editTree([&](auto& t) { t[1] = testing::fileEntry(t[1].nameOffset(), 0, size); });
    auto reader = testing::openBytes(b.build());
    ASSERT_NE(reader, nullptr);
    std::unique_ptr<uint8_t[]> out(new uint8_t[size]);
    ASSERT_EQ(reader->readFile(1, 0, size, out.get()), size);
    for (uint64_t at : {uint64_t(0), uint64_t(1) << 31, uint64_t(1) << 32, size - 1}) {
        EXPECT_EQ(out[at], uint8_t(run[at % run.size()])) << at;
    }
    EXPECT_EQ(
        std::memcmp(out.get() + size - run.size(), run.data() + (size % run.size()), run.size() - size % run.size()),
        0);
}

TEST(Reads, ThreadsSharingOneReaderGetTheRightBytes) {
    ArchiveBuilder b;
    std::vector<std::string> contents;
    for (uint32_t i = 0; i < 12; ++i) {
        contents.push_back(i % 2 ? testing::patterned(90000 + i * 40000, i)
                                 : testing::incompressible(70000 + i * 30000, i));
        b.file("f" + std::to_string(i), contents.back());
    }
    auto reader = testing::openBytes(b.build());
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937_64 rng(t);
            for (int i = 0; i < 300; ++i) {
                size_t f = rng() % contents.size();
                uint64_t pos = rng() % contents[f].size();
                uint64_t len = rng() % 200000;
                std::string got = readRange(*reader, NodeId(f + 1), pos, len);
                if (got != contents[f].substr(pos, len)) ++wrong;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace qev
