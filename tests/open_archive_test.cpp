#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <utility>

#include "archive/read/archive_reader.h"
#include "archive/testing/stream_archive_file.h"
#include "tests/support/recording_stream.h"
#include "tests/support/test_files.h"
#include "tests/support/test_names.h"

namespace qev {
namespace {

using testing::ArchiveBuilder;
using testing::openBytes;
using testing::TempFile;

ArchiveBuilder soundArchive() {
    return ArchiveBuilder()
        .dir("0005000010101D00_v64/meta")
        .file("0005000010101D00_v64/meta/meta.xml", "<menu/>")
        .file("readme.txt", testing::patterned(70000));
}

// Makes a section reach `delta` bytes past the end of the file (or stop short of it).
std::function<void(ArchiveFooter&)> sectionEndsAt(SectionRange ArchiveFooter::*section, int64_t delta) {
    return [=](ArchiveFooter& f) {
        SectionRange& s = f.*section;
        s.size = f.archiveSize + uint64_t(delta) - s.offset;
    };
}

// Moves a section, keeping its size, so that it ends `delta` bytes past the end of the file.
std::function<void(ArchiveFooter&)> sectionMovedToEnd(SectionRange ArchiveFooter::*section, int64_t delta) {
    return [=](ArchiveFooter& f) {
        SectionRange& s = f.*section;
        s.offset = f.archiveSize + uint64_t(delta) - s.size;
    };
}

// Appends `bytes` to the name table and points the root's nameRef at them.
void nameRootWith(ArchiveBuilder& b, std::string bytes) {
    b.editNamesAndTree([=](std::string& names, std::vector<TreeEntry>& tree) {
        tree[0].words[0] = uint32_t(names.size());
        names += bytes;
    });
}

// What refused an archive; nothing when it opens.
using Refusal = std::optional<std::pair<OpenCheck, uint8_t>>;
constexpr std::nullopt_t kOpens = std::nullopt;
Refusal refusedBy(OpenCheck check, uint8_t section = 0) { return std::pair(check, section); }

struct OpenCase {
    const char* what;
    std::function<void(ArchiveBuilder&)> change;
    Refusal refusal;
};
QEV_PRINT_CASE_AS_WHAT(OpenCase)

class OpenChecks : public ::testing::TestWithParam<OpenCase> {};

// Everything an index answers about its tree and blocks agrees, however it was opened.
void expectSameAnswers(const ArchiveIndex& whole, const ArchiveIndex& onDemand) {
    ASSERT_EQ(whole.treeSize(), onDemand.treeSize());
    std::string scratch;
    for (NodeId n = 0; n <= whole.treeSize(); ++n) {
        EXPECT_EQ(whole.isFile(n), onDemand.isFile(n));
        EXPECT_EQ(whole.fileSize(n), onDemand.fileSize(n));
        EXPECT_EQ(whole.fileStart(n), onDemand.fileStart(n));
        EXPECT_EQ(whole.entryCount(n), onDemand.entryCount(n));
        EXPECT_EQ(whole.childAt(n, 0), onDemand.childAt(n, 0));
        EXPECT_EQ(std::optional(whole.heldTables()->name(n)), onDemand.nameOf(n, scratch));
        if (whole.isFile(n)) {
            EXPECT_EQ(whole.fileBlocksLocatable(n), onDemand.fileBlocksLocatable(n));
        }
    }
    for (uint64_t b = 0; b <= whole.blockCount(); ++b) {
        auto x = whole.locateBlock(b), y = onDemand.locateBlock(b);
        EXPECT_EQ(x.has_value(), y.has_value());
        if (x && y) {
            EXPECT_EQ(std::pair(x->fileOffset, x->storedLength), std::pair(y->fileOffset, y->storedLength));
        }
    }
    EXPECT_EQ(whole.findPath("0005000010101D00_V64/META/meta.xml"),
              onDemand.findPath("0005000010101D00_V64/META/meta.xml"));
}

TEST_P(OpenChecks, AcceptsOrRejects) {
    ArchiveBuilder b = soundArchive();
    GetParam().change(b);
    std::string bytes = b.build();
    auto index = testing::openIndexBytes(bytes);
    Refusal got = index ? kOpens : refusedBy(index.error().check, index.error().section);
    EXPECT_EQ(got, GetParam().refusal);
    // Tables read on demand, through a cache of two pages, are held to the same rules.
    auto onDemand = testing::openIndexBytes(bytes, std::make_shared<SharedCache>(2, ArchiveIndex::kTablePageSize));
    got = onDemand ? kOpens : refusedBy(onDemand.error().check, onDemand.error().section);
    EXPECT_EQ(got, GetParam().refusal);
    if (index && onDemand) expectSameAnswers(**index, **onDemand);
}

void footer(ArchiveBuilder& b, std::function<void(ArchiveFooter&)> edit) { b.editFooter(edit); }

INSTANTIATE_TEST_SUITE_P(
    Open, OpenChecks,
    ::testing::Values(
        OpenCase{"sound", [](ArchiveBuilder&) {}, kOpens},
        OpenCase{"little endian magic",
                 [](ArchiveBuilder& b) {
                     b.editBytes([](std::string& s) { std::reverse(s.end() - 4, s.end()); });
                 }, refusedBy(OpenCheck::kMagic)},
        OpenCase{"wrong magic", [](ArchiveBuilder& b) { footer(b, [](auto& f) { f.magic ^= 1; }); }, refusedBy(OpenCheck::kMagic)},
        OpenCase{"wrong version",
                 [](ArchiveBuilder& b) { footer(b, [](auto& f) { f.formatVersion = 0x61BF3A02; }); }, refusedBy(OpenCheck::kFormatVersion)},
        OpenCase{"archive size one more",
                 [](ArchiveBuilder& b) { footer(b, [](auto& f) { f.archiveSize += 1; }); }, refusedBy(OpenCheck::kArchiveSize)},
        OpenCase{"archive size one less",
                 [](ArchiveBuilder& b) { footer(b, [](auto& f) { f.archiveSize -= 1; }); }, refusedBy(OpenCheck::kArchiveSize)},
        OpenCase{"byte appended",
                 [](ArchiveBuilder& b) { b.editBytes([](std::string& s) { s.push_back(0); }); }, refusedBy(OpenCheck::kMagic)},
        OpenCase{"last byte cut",
                 [](ArchiveBuilder& b) { b.editBytes([](std::string& s) { s.pop_back(); }); }, refusedBy(OpenCheck::kMagic)},
        OpenCase{"data section one past end",
                 [](ArchiveBuilder& b) { footer(b, sectionEndsAt(&ArchiveFooter::dataSection, 1)); }, refusedBy(OpenCheck::kSectionWithinFile, 0)},
        OpenCase{"offset section one past end",
                 [](ArchiveBuilder& b) {
                     footer(b, sectionMovedToEnd(&ArchiveFooter::offsetSection, 1));
                 }, refusedBy(OpenCheck::kSectionWithinFile, 1)},
        OpenCase{"name section one past end",
                 [](ArchiveBuilder& b) { footer(b, sectionEndsAt(&ArchiveFooter::nameSection, 1)); }, refusedBy(OpenCheck::kSectionWithinFile, 2)},
        OpenCase{"tree section one past end",
                 [](ArchiveBuilder& b) {
                     footer(b, sectionMovedToEnd(&ArchiveFooter::treeSection, 1));
                 }, refusedBy(OpenCheck::kSectionWithinFile, 3)},
        OpenCase{"aux section 1 one past end",
                 [](ArchiveBuilder& b) { footer(b, sectionEndsAt(&ArchiveFooter::auxSection1, 1)); }, refusedBy(OpenCheck::kSectionWithinFile, 4)},
        OpenCase{"aux section 2 one past end",
                 [](ArchiveBuilder& b) { footer(b, sectionEndsAt(&ArchiveFooter::auxSection2, 1)); }, refusedBy(OpenCheck::kSectionWithinFile, 5)},
        OpenCase{"aux section exactly to end, over the footer",
                 [](ArchiveBuilder& b) { footer(b, sectionEndsAt(&ArchiveFooter::auxSection2, 0)); }, kOpens},
        OpenCase{"empty section at file end",
                 [](ArchiveBuilder& b) {
                     footer(b, [](auto& f) { f.auxSection1 = {f.archiveSize, 0}; });
                 }, kOpens},
        OpenCase{"empty section past file end",
                 [](ArchiveBuilder& b) {
                     footer(b, [](auto& f) { f.auxSection1 = {f.archiveSize + 1, 0}; });
                 }, refusedBy(OpenCheck::kSectionWithinFile, 4)},
        OpenCase{"offset plus size wraps",
                 [](ArchiveBuilder& b) {
                     footer(b, [](auto& f) { f.dataSection = {0xFFFFFFFFFFFFFFF0, 0x20}; });
                 }, refusedBy(OpenCheck::kSectionWithinFile, 0)},
        OpenCase{"size plus offset wraps",
                 [](ArchiveBuilder& b) {
                     footer(b, [](auto& f) { f.auxSection2 = {0x10, 0xFFFFFFFFFFFFFFF8}; });
                 }, refusedBy(OpenCheck::kSectionWithinFile, 5)},
        OpenCase{"data section covers the whole file",
                 [](ArchiveBuilder& b) { footer(b, [](auto& f) { f.dataSection = {0, f.archiveSize}; }); }, kOpens},
        OpenCase{"empty data section",
                 [](ArchiveBuilder& b) { footer(b, [](auto& f) { f.dataSection.size = 0; }); }, kOpens},
        OpenCase{"offset table size 0",
                 [](ArchiveBuilder& b) { footer(b, [](auto& f) { f.offsetSection.size = 0; }); }, refusedBy(OpenCheck::kOffsetTableShape)},
        OpenCase{"offset table size 39",
                 [](ArchiveBuilder& b) { footer(b, [](auto& f) { f.offsetSection.size = 39; }); }, refusedBy(OpenCheck::kOffsetTableShape)},
        OpenCase{"offset table size 41",
                 [](ArchiveBuilder& b) { footer(b, [](auto& f) { f.offsetSection.size = 41; }); }, refusedBy(OpenCheck::kOffsetTableShape)},
        OpenCase{"tree size 0",
                 [](ArchiveBuilder& b) { footer(b, [](auto& f) { f.treeSection.size = 0; }); }, refusedBy(OpenCheck::kTreeShape)},
        OpenCase{"tree size 8",
                 [](ArchiveBuilder& b) { footer(b, [](auto& f) { f.treeSection.size = 8; }); }, refusedBy(OpenCheck::kTreeShape)},
        OpenCase{"tree size 24",
                 [](ArchiveBuilder& b) { footer(b, [](auto& f) { f.treeSection.size = 24; }); }, refusedBy(OpenCheck::kTreeShape)},
        OpenCase{"tree of the root alone",
                 [](ArchiveBuilder& b) { footer(b, [](auto& f) { f.treeSection.size = 16; }); }, kOpens},
        OpenCase{"empty name table",
                 [](ArchiveBuilder& b) { footer(b, [](auto& f) { f.nameSection.size = 0; }); }, kOpens},
        OpenCase{"root is a file",
                 [](ArchiveBuilder& b) {
                     b.editTree([](auto& t) { t[0].words[0] |= kFileFlag; });
                 }, refusedBy(OpenCheck::kRootIsDirectory)},
        OpenCase{"root named by a zero prefix",
                 [](ArchiveBuilder& b) { nameRootWith(b, std::string(1, '\0')); }, kOpens},
        OpenCase{"root name of three bytes inside the table",
                 [](ArchiveBuilder& b) { nameRootWith(b, "\x03" "abc"); }, refusedBy(OpenCheck::kRootUnnamed)},
        OpenCase{"root name reaching past the table",
                 [](ArchiveBuilder& b) { nameRootWith(b, "\x03" "ab"); }, kOpens},
        OpenCase{"root name offset past the table",
                 [](ArchiveBuilder& b) {
                     b.editTree([](auto& t) { t[0].words[0] = kNameOffsetMask - 1; });
                 }, kOpens},
        OpenCase{"root with a real name",
                 [](ArchiveBuilder& b) { b.editTree([](auto& t) { t[0].words[0] = 0; }); }, refusedBy(OpenCheck::kRootUnnamed)}),
    testing::NameFromWhat());

using testing::ReadCall;
using testing::RecordingStream;

// Opens `bytes` through a stream that logs its reads.
std::vector<ReadCall> readsWhileOpening(std::string bytes, bool* opened = nullptr) {
    auto recording = std::make_unique<RecordingStream>(std::move(bytes));
    RecordingStream* raw = recording.get();
    std::unique_ptr<std::istream> stream = std::move(recording);
    std::unique_ptr<ArchiveReader> reader = openArchiveStream(stream);
    if (opened != nullptr) *opened = reader != nullptr;
    // The reader, if any, owns the stream; copy the log before it goes.
    return raw->buf().reads;
}

TEST(Open, ReadsFooterThenEachTableOnce) {
    std::string bytes = soundArchive().build();
    ArchiveFooter f = decodeFooter(reinterpret_cast<const uint8_t*>(bytes.data()) + bytes.size() - 144);
    bool opened = false;
    std::vector<ReadCall> reads = readsWhileOpening(bytes, &opened);
    EXPECT_TRUE(opened);
    std::vector<ReadCall> expected = {{bytes.size() - 144, 144},
                                      {f.offsetSection.offset, f.offsetSection.size},
                                      {f.nameSection.offset, f.nameSection.size},
                                      {f.treeSection.offset, f.treeSection.size}};
    EXPECT_EQ(reads, expected);
}

TEST(Open, StopsBeforeAnyLaterRead) {
    // A bad offset table size fails before any table is read.
    std::string badOffsets = soundArchive().editFooter([](auto& f) { f.offsetSection.size = 39; }).build();
    EXPECT_EQ(readsWhileOpening(badOffsets).size(), 1u);
    // A bad tree size is checked only after the offset and name tables are in.
    std::string badTree = soundArchive().editFooter([](auto& f) { f.treeSection.size = 8; }).build();
    EXPECT_EQ(readsWhileOpening(badTree).size(), 3u);
}

TEST(Open, StreamHandleOwnership) {
    std::unique_ptr<std::istream> good = std::make_unique<std::istringstream>(soundArchive().build());
    EXPECT_NE(openArchiveStream(good), nullptr);
    EXPECT_EQ(good, nullptr);

    std::unique_ptr<std::istream> bad = std::make_unique<std::istringstream>(std::string(200, 'x'));
    EXPECT_EQ(openArchiveStream(bad), nullptr);
    EXPECT_NE(bad, nullptr);

    std::unique_ptr<std::istream> none;
    EXPECT_EQ(openArchiveStream(none), nullptr);
}

TEST(Open, SmallestArchiveOpensWithSixteenBlocks) {
    // Empty data, one offset record, no names, the root alone: 200 bytes.
    std::string bytes = ArchiveBuilder().build();
    ASSERT_EQ(bytes.size(), 200u);
    auto reader = openBytes(bytes);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->index().blockCount(), 16u);
    EXPECT_EQ(reader->index().entryCount(0), 0u);
}

TEST(Open, FooterChecksBeginAbove144Bytes) {
    // 144 bytes that form a well-formed footer are still too few.
    ArchiveFooter f{};
    f.offsetSection = {0, 40};
    f.treeSection = {0, 16};
    f.archiveSize = 144;
    f.formatVersion = kFormatVersion;
    f.magic = kArchiveMagic;
    EXPECT_EQ(openBytes(testing::encodeFooter(f)), nullptr);
    // One byte more and the same tables open: the sections may overlap the footer.
    f.archiveSize = 145;
    f.offsetSection = {1, 40};
    // The root lies in the footer's opaque bytes, which may hold anything.
    f.treeSection = {1 + 96, 16};
    f.opaqueBytes = {0x7F, 0xFF, 0xFF, 0xFF};  // a nameless directory without children
    std::string bytes = std::string(1, '\0') + testing::encodeFooter(f);
    EXPECT_NE(openBytes(bytes), nullptr);
}

class OpenFiles : public ::testing::Test {
protected:
    TempFile tmp;
};

size_t openDescriptors() {
    size_t n = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

TEST_F(OpenFiles, OpensFromDiskAndClosesOnFailure) {
    soundArchive().writeTo(tmp.path());
    size_t before = openDescriptors();
    {
        auto reader = openArchive(tmp.path());
        ASSERT_NE(reader, nullptr);
        EXPECT_EQ(openDescriptors(), before + 1);
    }
    EXPECT_EQ(openDescriptors(), before);
    tmp.write(
        "not an archive, but longer than one hundred and forty-four bytes........."
        "........................................................................");
    EXPECT_EQ(openArchive(tmp.path()), nullptr);
    EXPECT_EQ(openDescriptors(), before);
}

TEST(OpenReasons, EveryCheckHasItsOwnLine) {
    std::set<std::string> lines;
    for (int c = 0; c <= int(OpenCheck::kRootUnnamed); ++c) {
        std::string line = describeOpenError({OpenCheck(c), 2});
        EXPECT_FALSE(line.empty());
        EXPECT_EQ(line.find('\n'), std::string::npos);
        lines.insert(line);
    }
    EXPECT_EQ(lines.size(), size_t(OpenCheck::kRootUnnamed) + 1);
    EXPECT_EQ(describeOpenError({OpenCheck::kSectionWithinFile, 2}), "the name table reaches past the end of the file");
}

TEST_F(OpenFiles, PathsThatAreNotArchives) {
    EXPECT_EQ(ArchiveIndex::open(tmp.dir() / "missing.qev").error().check, OpenCheck::kFileOpens);
    EXPECT_EQ(ArchiveIndex::open(tmp.dir()).error().check, OpenCheck::kFileOpens);
    EXPECT_EQ(openArchive(tmp.dir() / "missing.qev"), nullptr);
    EXPECT_EQ(openArchive(""), nullptr);
    EXPECT_EQ(openArchive(tmp.dir()), nullptr);
    EXPECT_EQ(openArchive("/dev/null"), nullptr);
    EXPECT_EQ(openArchive("/dev/zero"), nullptr);
    // A FIFO with no writer must be refused at once, not waited on.
    std::filesystem::path fifo = tmp.dir() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(openArchive(fifo), nullptr);
}

TEST_F(OpenFiles, SectionSizeLimitsInLargeSparseFile) {
    // A sparse file above 4 GiB lets a section exceed its limit while lying inside the file.
    const uint64_t size = (uint64_t(1) << 32) + (uint64_t(1) << 20);
    auto withFooter = [&](std::function<void(ArchiveFooter&)> edit) {
        ArchiveFooter f{};
        f.offsetSection = {0, 40};
        f.treeSection = {40, 16};
        f.archiveSize = size;
        f.formatVersion = kFormatVersion;
        f.magic = kArchiveMagic;
        edit(f);
        int fd = ::open(tmp.path().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        std::string root = testing::encodeTreeEntry(testing::directoryEntry(kNoName, 0, 0));
        ASSERT_EQ(::pwrite(fd, root.data(), root.size(), 40), ssize_t(root.size()));
        std::string footer = testing::encodeFooter(f);
        ASSERT_EQ(::pwrite(fd, footer.data(), footer.size(), off_t(size - 144)), 144);
        ::close(fd);
    };
    auto refusal = [&] {
        auto index = ArchiveIndex::open(tmp.path());
        return index ? kOpens : refusedBy(index.error().check, index.error().section);
    };
    withFooter([](ArchiveFooter&) {});
    EXPECT_EQ(refusal(), kOpens);
    withFooter([](ArchiveFooter& f) { f.offsetSection = {0, 0x100000000 / 40 * 40 + 40}; });
    EXPECT_EQ(refusal(), refusedBy(OpenCheck::kOffsetTableLimit));
    // The largest size below the limit passes it, and fails only for not being whole records.
    withFooter([](ArchiveFooter& f) { f.offsetSection = {0, 0xFFFFFFFF}; });
    EXPECT_EQ(refusal(), refusedBy(OpenCheck::kOffsetTableShape));
    withFooter([](ArchiveFooter& f) { f.nameSection = {0, 0x80000000}; });
    EXPECT_EQ(refusal(), refusedBy(OpenCheck::kNameTableLimit));
    withFooter([](ArchiveFooter& f) { f.nameSection = {0, 0x7FFFFFFF}; });
    EXPECT_EQ(refusal(), kOpens);
    withFooter([](ArchiveFooter& f) { f.treeSection = {0, 0x100000000}; });
    EXPECT_EQ(refusal(), refusedBy(OpenCheck::kTreeLimit));
    withFooter([](ArchiveFooter& f) { f.treeSection = {0, 0xFFFFFFF8}; });
    EXPECT_EQ(refusal(), refusedBy(OpenCheck::kTreeShape));
}

}  // namespace
}  // namespace qev
