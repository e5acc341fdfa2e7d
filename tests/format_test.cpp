#include "archive/format/format.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tests/support/test_files.h"
#include "tests/support/test_names.h"

namespace qev {
namespace {

using testing::encodeFooter;

const uint8_t* bytesOf(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

TEST(Format, FooterFieldsDecodeFromBigEndianBytes) {
    ArchiveFooter f{};
    f.dataSection = {0x0102030405060708, 0x1112131415161718};
    f.offsetSection = {1, 2};
    f.nameSection = {3, 4};
    f.treeSection = {5, 6};
    f.auxSection1 = {7, 8};
    f.auxSection2 = {9, 0xFFFFFFFFFFFFFFFF};
    f.opaqueBytes.fill(0xAB);
    f.archiveSize = 0xA0B0C0D0E0F00010;
    f.formatVersion = kFormatVersion;
    f.magic = kArchiveMagic;
    std::string bytes = encodeFooter(f);
    ASSERT_EQ(bytes.size(), kFooterSize);
    // The magic sits at offset 140 as the bytes 16 9F 52 D6.
    EXPECT_EQ(bytes.substr(140), std::string("\x16\x9F\x52\xD6", 4));
    EXPECT_EQ(bytes.substr(0, 2), std::string("\x01\x02", 2));

    ArchiveFooter d = decodeFooter(bytesOf(bytes));
    EXPECT_EQ(d.dataSection.offset, f.dataSection.offset);
    EXPECT_EQ(d.dataSection.size, f.dataSection.size);
    EXPECT_EQ(d.auxSection2.size, f.auxSection2.size);
    EXPECT_EQ(d.archiveSize, f.archiveSize);
    EXPECT_EQ(d.formatVersion, kFormatVersion);
    EXPECT_EQ(d.magic, kArchiveMagic);
    EXPECT_EQ(d.opaqueBytes, f.opaqueBytes);
}

TEST(Format, TreeEntryWorkedExamples) {
    // data.bin: 100,000 bytes at stream position 0x000FFFF0, name at offset 8.
    std::string disk("\x80\x00\x00\x08\x00\x0F\xFF\xF0\x00\x01\x86\xA0\x00\x00\x00\x00", 16);
    TreeEntry e = decodeTreeEntry(bytesOf(disk));
    EXPECT_TRUE(e.isFile());
    EXPECT_EQ(e.nameOffset(), 8u);
    EXPECT_EQ(e.fileStart(), 0x000FFFF0u);
    EXPECT_EQ(e.fileSize(), 100000u);

    TreeEntry big{{kFileFlag, 0x00004000, 0x2A05F200, 0x00010003}};
    EXPECT_EQ(big.fileSize(), 5000000000u);
    EXPECT_EQ(big.fileStart(), 0x300004000u);

    TreeEntry largest{{kFileFlag, 0, 0xFFFFFFFF, 0xFFFF0000}};
    EXPECT_EQ(largest.fileSize(), (uint64_t(1) << 48) - 1);
}

TEST(Format, OffsetRecordDecodesBaseAndSixteenSizes) {
    BlockOffsetRecord r{0x0000000100000002, {}};
    for (uint16_t i = 0; i < 16; ++i) r.storedSizes[i] = uint16_t(0xFFF0 + i);
    std::string disk = testing::encodeOffsetRecord(r);
    ASSERT_EQ(disk.size(), kOffsetRecordSize);
    BlockOffsetRecord d = decodeOffsetRecord(bytesOf(disk));
    EXPECT_EQ(d.base, r.base);
    EXPECT_EQ(d.storedSizes, r.storedSizes);
}

struct NameCase {
    const char* what;
    std::string table;
    uint32_t offset;
    std::optional<std::string> name;  // nullopt: decodes as the empty view
};
QEV_PRINT_CASE_AS_WHAT(NameCase)

class NameDecoding : public ::testing::TestWithParam<NameCase> {};

TEST_P(NameDecoding, DecodesOrGivesEmpty) {
    const NameCase& c = GetParam();
    std::string_view got = decodeName(bytesOf(c.table), c.table.size(), c.offset);
    EXPECT_NE(got.data(), nullptr);
    EXPECT_EQ(std::string(got), c.name.value_or(""));
}

std::string bytes(std::string_view s) { return std::string(s); }

INSTANTIATE_TEST_SUITE_P(
    Format, NameDecoding,
    ::testing::Values(NameCase{"zero prefix", bytes({"\x00", 1}), 0, std::nullopt},
                      NameCase{"one byte prefix", "\x05hello", 0, "hello"},
                      NameCase{"longest one byte prefix", "\x7F" + std::string(127, 'a'), 0, std::string(127, 'a')},
                      NameCase{"two byte prefix 128", "\x80\x01" + std::string(128, 'b'), 0, std::string(128, 'b')},
                      NameCase{"two byte prefix max", "\xFF\xFF" + std::string(32767, 'c'), 0, std::string(32767, 'c')},
                      NameCase{"two byte form of a short name",
                               bytes({"\x85\x00"
                                      "abcde",
                                      7}),
                               0, "abcde"},
                      NameCase{"not at offset zero", "xx\x02hi", 2, "hi"},
                      NameCase{"ends exactly at table end",
                               "\x03"
                               "abc",
                               0, "abc"},
                      NameCase{"ends one past table end",
                               "\x03"
                               "ab",
                               0, std::nullopt},
                      NameCase{"second prefix byte outside table", "ab\x80", 2, std::nullopt},
                      NameCase{"two byte length past end", "\x80\x01" + std::string(127, 'b'), 0, std::nullopt},
                      NameCase{"offset at table end",
                               "\x01"
                               "a",
                               2, std::nullopt},
                      NameCase{"offset far past table",
                               "\x01"
                               "a",
                               0x7FFFFFFE, std::nullopt},
                      NameCase{"no name",
                               "\x01"
                               "a",
                               kNoName, std::nullopt},
                      NameCase{"empty table", "", 0, std::nullopt}),
    testing::NameFromWhat());

}  // namespace
}  // namespace qev
