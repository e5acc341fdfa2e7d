#include <gtest/gtest.h>

#include <string>

#include "archive/read/archive_reader.h"
#include "tests/support/test_files.h"
#include "tests/support/test_names.h"

namespace qev {
namespace {

using testing::ArchiveBuilder;

ArchiveBuilder treeArchive() {
    return ArchiveBuilder()
        .file("a/b/file.bin", "payload")
        .file("x/Code", "first")
        .file("x/code", "second")
        .file("caf\xC3\xA9", "accented")
        .file(std::string(127, 'n'), "127")
        .file(std::string(128, 'm'), "128")
        .dir("a/empty")
        .file(".", "dot");
}

struct LookupCase {
    std::string path;
    std::string expected;  // builder path of the entry found; "-" for none
};
inline void PrintTo(const LookupCase& c, std::ostream* os) { *os << c.path; }

class Lookup : public ::testing::TestWithParam<LookupCase> {};

TEST_P(Lookup, ResolvesLikeStoredPath) {
    ArchiveBuilder b = treeArchive();
    auto reader = testing::openBytes(b.build());
    ASSERT_NE(reader, nullptr);
    const LookupCase& c = GetParam();
    NodeId want = c.expected == "-" ? kInvalidNode : b.node(c.expected);
    ASSERT_TRUE(c.expected == "-" || want != kInvalidNode);
    EXPECT_EQ(reader->index().findPath(c.path), want) << c.path;
}

INSTANTIATE_TEST_SUITE_P(
    Tree, Lookup,
    ::testing::Values(LookupCase{"", ""}, LookupCase{"/", ""}, LookupCase{"\\//", ""},
                      LookupCase{"a/b/file.bin", "a/b/file.bin"}, LookupCase{"a//b/file.bin", "a/b/file.bin"},
                      LookupCase{"/a/b/file.bin/", "a/b/file.bin"}, LookupCase{"a\\b\\file.bin", "a/b/file.bin"},
                      LookupCase{"\\a/b\\\\file.bin", "a/b/file.bin"}, LookupCase{"A/B/FILE.BIN", "a/b/file.bin"},
                      LookupCase{"a/b", "a/b"}, LookupCase{"a/b/", "a/b"}, LookupCase{"a/b/file.bin/x", "-"},
                      LookupCase{"a/b/missing", "-"}, LookupCase{"a/c", "-"}, LookupCase{"a/empty", "a/empty"},
                      LookupCase{"a/empty/x", "-"},
                      // The first of two siblings that compare equal wins.
                      LookupCase{"x/CODE", "x/Code"}, LookupCase{"x/code", "x/Code"},
                      // Bytes from 0x80 up are compared exactly; only ASCII letters fold.
                      LookupCase{"CAF\xC3\xA9", "caf\xC3\xA9"}, LookupCase{"caf\xC3\x89", "-"},
                      LookupCase{"caf\xC3", "-"}, LookupCase{std::string(127, 'N'), std::string(127, 'n')},
                      LookupCase{std::string(128, 'M'), std::string(128, 'm')},
                      // Dots are names like any other.
                      LookupCase{".", "."}, LookupCase{"./a", "-"}, LookupCase{"a/..", "-"},
                      // '@' and '[' sit next to the letters; they do not fold.
                      LookupCase{"x/cod@", "-"}, LookupCase{"x/cod[", "-"}));

TEST(Tree, PathMayHoldZeroBytesAndNeedNotBeTerminated) {
    auto reader = testing::openBytes(ArchiveBuilder().file("ab", "1").build());
    EXPECT_NE(reader->index().findPath(std::string_view("abc", 2)), kInvalidNode);
    EXPECT_EQ(reader->index().findPath(std::string_view("a\0b", 3)), kInvalidNode);
}

TEST(Tree, SimpleQueriesOnIdsOutOfRangeAndWrongKinds) {
    ArchiveBuilder b = treeArchive();
    auto reader = testing::openBytes(b.build());
    NodeId file = b.node("a/b/file.bin");
    NodeId dir = b.node("a/b");
    for (NodeId bad : {kInvalidNode, NodeId(ArchiveBuilder(b).node("") + 1000)}) {
        EXPECT_FALSE(reader->index().isFile(bad));
        EXPECT_FALSE(reader->index().isDirectory(bad));
        EXPECT_EQ(reader->index().entryCount(bad), 0u);
        EXPECT_EQ(reader->index().fileSize(bad), 0u);
        DirEntryInfo info;
        EXPECT_FALSE(reader->index().entryAt(bad, 0, info));
    }
    EXPECT_TRUE(reader->index().isFile(file));
    EXPECT_FALSE(reader->index().isDirectory(file));
    EXPECT_EQ(reader->index().entryCount(file), 0u);
    EXPECT_EQ(reader->index().fileSize(file), 7u);
    EXPECT_TRUE(reader->index().isDirectory(dir));
    EXPECT_EQ(reader->index().fileSize(dir), 0u);
    EXPECT_EQ(reader->index().entryCount(dir), 1u);
    EXPECT_EQ(reader->index().heldTables()->name(file), "file.bin");
    EXPECT_EQ(reader->index().heldTables()->name(0), "");
}

TEST(Tree, EntryAtFillsChildrenInOrder) {
    auto reader = testing::openBytes(ArchiveBuilder().file("f.txt", "12345").dir("d").file("g", "").build());
    ASSERT_EQ(reader->index().entryCount(0), 3u);
    DirEntryInfo info;
    ASSERT_TRUE(reader->index().entryAt(0, 0, info));
    EXPECT_EQ(info.name, "f.txt");
    EXPECT_TRUE(info.isFile);
    EXPECT_FALSE(info.isDirectory);
    EXPECT_EQ(info.size, 5u);
    ASSERT_TRUE(reader->index().entryAt(0, 1, info));
    EXPECT_EQ(info.name, "d");
    EXPECT_TRUE(info.isDirectory);
    EXPECT_FALSE(info.isFile);
    EXPECT_EQ(info.size, 0u);

    DirEntryInfo untouched{"keep", true, false, 99, {}};
    EXPECT_FALSE(reader->index().entryAt(0, 3, untouched));
    EXPECT_FALSE(reader->index().entryAt(1, 0, untouched));  // a file
    EXPECT_EQ(untouched.name, "keep");
    EXPECT_EQ(untouched.size, 99u);
}

// Child names that cannot be used: entryAt fills the rest and says false; lookups skip them.
struct BadNameCase {
    const char* what;
    std::function<void(std::string& names, TreeEntry& child)> breakIt;
};
QEV_PRINT_CASE_AS_WHAT(BadNameCase)

class UnusableNames : public ::testing::TestWithParam<BadNameCase> {};

TEST_P(UnusableNames, AreSkipped) {
    ArchiveBuilder b;
    b.file("broken", "xyz").file("fine", "1");
    b.editNamesAndTree([](std::string& n, std::vector<TreeEntry>& t) { GetParam().breakIt(n, t[1]); });
    auto reader = testing::openBytes(b.build());
    ASSERT_NE(reader, nullptr);
    DirEntryInfo info;
    EXPECT_FALSE(reader->index().entryAt(0, 0, info));
    EXPECT_TRUE(info.isFile);
    EXPECT_EQ(info.size, 3u);
    EXPECT_EQ(info.name, "");
    EXPECT_EQ(reader->index().findPath("broken"), kInvalidNode);
    EXPECT_EQ(reader->index().findPath("fine"), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Tree, UnusableNames,
    ::testing::Values(BadNameCase{"NoName", [](std::string&, TreeEntry& c) { c.words[0] = kFileFlag | kNoName; }},
                      BadNameCase{"OffsetAtTableEnd",
                                  [](std::string& n, TreeEntry& c) { c.words[0] = kFileFlag | uint32_t(n.size()); }},
                      BadNameCase{"ZeroLength",
                                  [](std::string& n, TreeEntry& c) {
                                      c.words[0] = kFileFlag | uint32_t(n.size());
                                      n.push_back('\0');
                                  }},
                      BadNameCase{"EndsPastTable",
                                  [](std::string& n, TreeEntry& c) {
                                      c.words[0] = kFileFlag | uint32_t(n.size());
                                      n += "\x07"
                                           "broken";
                                  }}),
    testing::NameFromWhat());

TEST(Tree, ChildRangesPastTheTreeAreCutAtItsEnd) {
    // The root claims more children than the tree holds; only those inside it exist.
    ArchiveBuilder b;
    b.file("one", "1").file("two", "2");
    b.editTree([](std::vector<TreeEntry>& t) { t[0].words[2] = 0xFFFFFFFF; });
    auto reader = testing::openBytes(b.build());
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->index().entryCount(0), 2u);
    DirEntryInfo info;
    EXPECT_TRUE(reader->index().entryAt(0, 1, info));
    EXPECT_FALSE(reader->index().entryAt(0, 2, info));
    EXPECT_EQ(reader->index().findPath("two"), 2u);
    EXPECT_EQ(reader->index().findPath("three"), kInvalidNode);
}

TEST(Tree, ChildRangeWhoseSumWrapsHasNoChildren) {
    // firstChild + childCount wraps in 32 bits to a small number; nothing lies there.
    for (uint32_t first : {0xFFFFFFFFu, 0xFFFFFFF0u, 3u}) {
        ArchiveBuilder b;
        b.file("one", "1").file("two", "2");
        b.editTree([=](std::vector<TreeEntry>& t) {
            t[0].words[1] = first;
            t[0].words[2] = 0x20;
        });
        auto reader = testing::openBytes(b.build());
        ASSERT_NE(reader, nullptr);
        EXPECT_EQ(reader->index().entryCount(0), 0u) << first;
        DirEntryInfo info;
        EXPECT_FALSE(reader->index().entryAt(0, 0, info));
        EXPECT_EQ(reader->index().findPath("one"), kInvalidNode);
    }
}

TEST(Tree, SizesAbove4GiBAreReportedWhole) {
    ArchiveBuilder b;
    b.file("huge", "");
    b.editTree([](std::vector<TreeEntry>& t) { t[1].words[2] = 0xFFFFFFFF, t[1].words[3] = 0xFFFF0000; });
    auto reader = testing::openBytes(b.build());
    uint64_t largest = (uint64_t(1) << 48) - 1;
    EXPECT_EQ(reader->index().fileSize(1), largest);
    DirEntryInfo info;
    ASSERT_TRUE(reader->index().entryAt(0, 0, info));
    EXPECT_EQ(info.size, largest);
}

TEST(Tree, TwoBytePrefixesResolveLikeOneBytePrefixes) {
    auto reader = testing::openBytes(ArchiveBuilder().twoBytePrefixes().file("dir/meta.xml", "<m/>").build());
    EXPECT_EQ(reader->index().findPath("DIR/META.XML"), 2u);
    EXPECT_EQ(reader->index().heldTables()->name(1), "dir");
}

}  // namespace
}  // namespace qev
