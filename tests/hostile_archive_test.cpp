// The real binary on hostile archives, under a small address-space limit and a time
// limit: each gives its exact outcome, quickly, without asking for memory the archive
// does not justify.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/support/test_files.h"
#include "tests/support/test_names.h"
#include "tests/support/tool_run.h"

namespace qev {
namespace {

using testing::ArchiveBuilder;

const std::string kIncomplete = "Error: Failed to read complete file\n";

ArchiveBuilder titles() {
    return ArchiveBuilder()
        .dir("0005000010101D00_v64")
        .dir("00050000a1b2c3d4_v0")
        .file("0005000010101D00_v64/data.bin", testing::patterned(300000));
}

// A frame header claiming a 2 TiB window and a 2^48-byte content size.
std::string hugeFrame(bool singleSegment) {
    std::string f("\x28\xB5\x2F\xFD", 4);
    f += singleSegment ? '\xE0' : '\xC0';                     // 8-byte content size, optional window
    if (!singleSegment) f += '\xF8';                          // window log 41
    f += std::string("\x00\x00\x00\x00\x00\x00\x01\x00", 8);  // little-endian 2^48
    f += std::string("\x01\x00\x00", 3);                      // a raw block, too short
    return f;
}

void claimSize(ArchiveBuilder& b, uint64_t size) {
    b.editTree([=](auto& t) { t[3] = testing::fileEntry(t[3].nameOffset(), 0, size); });
}

struct HostileCase {
    const char* what;
    std::function<void(ArchiveBuilder&)> change;
    std::vector<std::string> args;  // after "qev-tool"; "@" is the archive
    std::string out;
    std::string err;
    int exitCode;
};
QEV_PRINT_CASE_AS_WHAT(HostileCase)

class Hostile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(Hostile, GivesItsExactOutcomeWithinLimits) {
    const HostileCase& c = GetParam();
    testing::TempFile tmp;
    ArchiveBuilder b = titles();
    c.change(b);
    b.writeTo(tmp.path());
    std::vector<std::string> args = {"qev-tool"};
    for (const std::string& a : c.args) args.push_back(a == "@" ? tmp.path().string() : a);
    testing::ProcessOptions limits;
    limits.wrapper = {"timeout", "30"};
#ifndef QEV_SANITIZED
    // Sanitizers reserve terabytes of shadow memory, so the limit holds only without them.
    for (const char* w : {"prlimit", "--as=33554432", "--"}) limits.wrapper.push_back(w);
#endif
    testing::ToolRun r = testing::runBinary(args, limits);
    auto expand = [&](std::string text) {
        if (size_t at = text.find('@'); at != std::string::npos) text.replace(at, 1, tmp.path().string());
        return text;
    };
    EXPECT_EQ(r.out, expand(c.out));
    EXPECT_EQ(r.err, expand(c.err));
    EXPECT_EQ(r.exitCode, c.exitCode);
}

const char kBothTitles[] = R"([{"folderName":"0005000010101D00_v64","titleId":"0005000010101D00","version":64},)"
                           R"({"folderName":"00050000a1b2c3d4_v0","titleId":"00050000a1b2c3d4","version":0}])"
                           "\n";
const std::string kData = "0005000010101D00_v64/data.bin";

INSTANTIATE_TEST_SUITE_P(
    Limits, Hostile,
    ::testing::Values(HostileCase{"file of 2^40 bytes",
                                  [](auto& b) { claimSize(b, uint64_t(1) << 40); },
                                  {"extract", "@", kData},
                                  "",
                                  kIncomplete,
                                  1},
                      HostileCase{"file of 2^48 - 1 bytes",
                                  [](auto& b) { claimSize(b, (uint64_t(1) << 48) - 1); },
                                  {"extract", "@", kData},
                                  "",
                                  kIncomplete,
                                  1},
                      HostileCase{"root claims 0xFFFFFFFF children",
                                  [](auto& b) { b.editTree([](auto& t) { t[0].words[2] = 0xFFFFFFFF; }); },
                                  {"info", "@"},
                                  R"({"path":"@","totalFiles":3,"totalSize":0})"
                                  "\n",
                                  "",
                                  0},
                      HostileCase{"root claims 0xFFFFFFFF children, listed",
                                  [](auto& b) { b.editTree([](auto& t) { t[0].words[2] = 0xFFFFFFFF; }); },
                                  {"list", "@"},
                                  kBothTitles,
                                  "",
                                  0},
                      HostileCase{
                          "first child near 0xFFFFFFFF",
                          [](auto& b) { b.editTree([](auto& t) { t[0].words[1] = 0xFFFFFFFE, t[0].words[2] = 5; }); },
                          {"list", "@"},
                          "[]\n",
                          "",
                          0},
                      HostileCase{"offset table claims 4 GiB",
                                  [](auto& b) { b.editFooter([](auto& f) { f.offsetSection.size = 0xFFFFFFF0; }); },
                                  {"info", "@"},
                                  "",
                                  "Error: Failed to open QEV file: @\n",
                                  1},
                      HostileCase{"tree claims 4 GiB",
                                  [](auto& b) { b.editFooter([](auto& f) { f.treeSection.size = 0xFFFFFFF0; }); },
                                  {"list", "@"},
                                  "",
                                  "Error: Failed to open QEV file: @\n",
                                  1},
                      HostileCase{"name table claims 2 GiB",
                                  [](auto& b) { b.editFooter([](auto& f) { f.nameSection.size = 0x7FFFFFFF; }); },
                                  {"list", "@"},
                                  "",
                                  "Error: Failed to open QEV file: @\n",
                                  1},
                      HostileCase{"two-byte prefix at the table's end",
                                  [](auto& b) {
                                      b.editNamesAndTree([](std::string& n, std::vector<TreeEntry>& t) {
                                          t[1].words[0] = uint32_t(n.size());
                                          n.push_back('\x94');
                                      });
                                  },
                                  {"list", "@"},
                                  R"([{"folderName":"00050000a1b2c3d4_v0","titleId":"00050000a1b2c3d4","version":0}])"
                                  "\n",
                                  "",
                                  0},
                      HostileCase{"base near 2^64",
                                  [](auto& b) { b.editRecords([](auto& r) { r[0].base = ~uint64_t(0) - 1000; }); },
                                  {"extract", "@", kData},
                                  "",
                                  kIncomplete,
                                  1},
                      HostileCase{"every compressed block damaged",
                                  [](auto& b) {
                                      for (uint64_t i = 0; i < 5; ++i) {
                                          b.editBlock(i, [](std::string& s) {
                                              s[s.size() / 3] ^= 0x40;
                                              s[4] ^= 0x11;
                                          });
                                      }
                                  },
                                  {"extract", "@", kData},
                                  "",
                                  kIncomplete,
                                  1},
                      HostileCase{"frame claiming a huge window",
                                  [](auto& b) { b.editBlock(0, [](std::string& s) { s = hugeFrame(false); }); },
                                  {"extract", "@", kData},
                                  "",
                                  kIncomplete,
                                  1},
                      HostileCase{"frame claiming a huge content size",
                                  [](auto& b) { b.editBlock(2, [](std::string& s) { s = hugeFrame(true); }); },
                                  {"extract", "@", kData},
                                  "",
                                  kIncomplete,
                                  1}),
    testing::NameFromWhat());

}  // namespace
}  // namespace qev
