// The real qev-tool binary: exact bytes on both streams and the exit status.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>

#include "tests/support/test_files.h"
#include "tests/support/tool_run.h"

namespace qev {
namespace {

using testing::ArchiveBuilder;
using testing::ProcessOptions;
using testing::runBinary;
using testing::usageText;

const std::string kMeta = "<?xml version=\"1.0\"?>\n<menu/>";  // no final line feed
const std::string kData = testing::incompressible(200000, 5) + testing::patterned(250000);

class Binary : public ::testing::Test {
protected:
    void SetUp() override {
        ArchiveBuilder()
            .dir("0005000010101D00_v64")
            .dir("00050000a1b2c3d4_v0")
            .file("0005000010101D00_v64/meta/meta.xml", kMeta)
            .file("00050000a1b2c3d4_v0/content/data.bin", kData)
            .writeTo(archive());
    }
    std::string archive() const { return (tmp.dir() / "game.qev").string(); }

    // Whether jq, a strict parser, accepts the text as one JSON document.
    static bool isJson(const std::string& text) {
        testing::TempFile f("doc.json");
        f.write(text);
        std::string cmd = "jq -e . < '" + f.path().string() + "' > /dev/null 2>&1";
        return std::system(cmd.c_str()) == 0;
    }

    testing::TempFile tmp;
};

TEST_F(Binary, UsageAloneWithoutCommand) {
    testing::ToolRun r = runBinary({"qev-tool"});
    EXPECT_EQ(r.out, usageText("qev-tool"));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exitCode, 1);
}

TEST_F(Binary, InvocationNameWithSpacesAndPath) {
    testing::ToolRun r = runBinary({"/usr/local/my tools/qev tool", "info"});
    EXPECT_EQ(r.out, usageText("/usr/local/my tools/qev tool"));
    EXPECT_EQ(r.err, "Error: Missing QEV file path\n");
    EXPECT_EQ(r.exitCode, 1);
}

TEST_F(Binary, UnknownCommand) {
    testing::ToolRun r = runBinary({"qev-tool", "-h"});
    EXPECT_EQ(r.out, usageText("qev-tool"));
    EXPECT_EQ(r.err, "Error: Unknown command: -h\n");
    EXPECT_EQ(r.exitCode, 1);
}

TEST_F(Binary, ListIsStrictJson) {
    testing::ToolRun r = runBinary({"qev-tool", "list", archive()});
    EXPECT_EQ(r.out, R"([{"folderName":"0005000010101D00_v64","titleId":"0005000010101D00","version":64},)"
                     R"({"folderName":"00050000a1b2c3d4_v0","titleId":"00050000a1b2c3d4","version":0}])"
                     "\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(isJson(r.out));
}

TEST_F(Binary, InfoWorkedExampleWithBackslashes) {
    std::filesystem::copy_file(archive(), tmp.dir() / "D:\\Games\\game.qev");
    ProcessOptions in;
    in.workingDirectory = tmp.dir().string();
    testing::ToolRun r = runBinary({"qev-tool", "info", "D:\\Games\\game.qev"}, in);
    EXPECT_EQ(r.out, R"({"path":"D:\\Games\\game.qev","totalFiles":2,"totalSize":0})"
                     "\n");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(isJson(r.out));
}

TEST_F(Binary, InfoPathWithControlAndHighBytesStaysJson) {
    std::string name = "t\x01\x1f\xC3\xA9.qev";
    std::filesystem::copy_file(archive(), tmp.dir() / name);
    ProcessOptions in;
    in.workingDirectory = tmp.dir().string();
    testing::ToolRun r = runBinary({"qev-tool", "info", name}, in);
    EXPECT_EQ(r.out, "{\"path\":\"t\\u0001\\u001f\xC3\xA9.qev\",\"totalFiles\":2,\"totalSize\":0}\n");
    EXPECT_TRUE(isJson(r.out));
}

TEST_F(Binary, ExtractCopiesBytesExactly) {
    testing::ToolRun meta = runBinary({"qev-tool", "extract", archive(), "0005000010101D00_v64/meta/meta.xml"});
    EXPECT_EQ(meta.out, kMeta);
    EXPECT_EQ(meta.err, "");
    EXPECT_EQ(meta.exitCode, 0);
    testing::ToolRun data = runBinary({"qev-tool", "extract", archive(), "00050000A1B2C3D4_V0\\content\\data.bin"});
    EXPECT_EQ(data.out.size(), kData.size());
    EXPECT_TRUE(data.out == kData);
    EXPECT_EQ(data.exitCode, 0);
}

TEST_F(Binary, DamagedLastBlockLeavesStandardOutputEmpty) {
    ArchiveBuilder()
        .file("data.bin", kData)
        .editBlock(6,
                   [](std::string& s) {
                       s[s.size() / 2] ^= 0x55;
                       s.resize(s.size() - 3);
                   })
        .writeTo(archive());
    testing::ToolRun r = runBinary({"qev-tool", "extract", archive(), "data.bin"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error: Failed to read complete file\n");
    EXPECT_EQ(r.exitCode, 1);
}

TEST_F(Binary, FullDeviceIsAFailure) {
    ProcessOptions full;
    full.stdoutPath = "/dev/full";
    for (std::vector<std::string> args : {std::vector<std::string>{"qev-tool", "list", archive()},
                                          {"qev-tool", "info", archive()},
                                          {"qev-tool", "extract", archive(), "00050000a1b2c3d4_v0/content/data.bin"},
                                          {"qev-tool", "extract", archive(), "0005000010101D00_v64/meta/meta.xml"}}) {
        testing::ToolRun r = runBinary(args, full);
        EXPECT_EQ(r.err, "Error: Failed to write to standard output\n") << args[1];
        EXPECT_EQ(r.exitCode, 1) << args[1];
    }
}

TEST_F(Binary, ClosedPipeEndsQuietly) {
    ProcessOptions pipe;
    pipe.stdoutPipeWithoutReader = true;
    testing::ToolRun r = runBinary({"qev-tool", "extract", archive(), "00050000a1b2c3d4_v0/content/data.bin"}, pipe);
    EXPECT_EQ(r.signal, SIGPIPE);
    EXPECT_EQ(r.err, "");
}

TEST_F(Binary, OutOfMemoryForARealFileIsReported) {
#ifdef QEV_SANITIZED
    GTEST_SKIP() << "an address-space limit cannot hold a sanitizer's shadow memory";
#endif
    // A 2 GiB file whose blocks all exist (every record shares one run of 16 raw blocks),
    // extracted under a 1 GiB address-space limit.
    const uint64_t size = uint64_t(2) << 30;
    ArchiveBuilder()
        .file("big.bin", testing::incompressible(16 * 65536))
        .editRecords([&](auto& recs) { recs.resize(size / (16 * 65536), recs[0]); })
        .editTree([&](auto& t) { t[1] = testing::fileEntry(t[1].nameOffset(), 0, size); })
        .writeTo(archive());
    ProcessOptions limited;
    limited.wrapper = {"prlimit", "--as=" + std::to_string(1ull << 30), "--"};
    testing::ToolRun r = runBinary({"qev-tool", "extract", archive(), "big.bin"}, limited);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error: Out of memory\n");
    EXPECT_EQ(r.exitCode, 1);
}

// An archive that does not open: qev-tool keeps its one line exactly; every other program
// says why, as the system or the reader knows it.
TEST_F(Binary, EveryOtherProgramSaysWhyAnArchiveDoesNotOpen) {
    std::string folder = (tmp.dir() / "folder.qev").string(), fifo = (tmp.dir() / "pipe.qev").string();
    std::string text = (tmp.dir() / "text.qev").string(), locked = (tmp.dir() / "locked.qev").string();
    std::filesystem::create_directories(folder);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    testing::writeFile(text, std::string(300, 'x'));
    testing::writeFile(locked, std::string(300, 'x'));
    ::chmod(locked.c_str(), 0);
    struct Row {
        std::string path, reason;
    };
    std::vector<Row> rows = {
        {(tmp.dir() / "missing.qev").string(), "No such file or directory"},
        {folder, "Is a directory"},
        {fifo, "Illegal seek"},
        {text, "the footer's magic number is wrong: not a QEV archive"},
    };
    if (::geteuid() != 0) rows.push_back({locked, "Permission denied"});  // root reads anything
    ProcessOptions checkBinary, unpackBinary;
    checkBinary.program = QEV_CHECK_PATH;
    unpackBinary.program = QEV_UNPACK_PATH;
    for (const Row& row : rows) {
        EXPECT_EQ(runBinary({"qev-tool", "info", row.path}).err, "Error: Failed to open QEV file: " + row.path + "\n");
        std::string line = "Error: Failed to open QEV file: " + row.path + ": " + row.reason + "\n";
        testing::ToolRun check = runBinary({"qev-check", row.path, "--no-progress"}, checkBinary);
        // To qev-check a folder is one of archives to check, each in turn.
        EXPECT_EQ(check.err, row.path == folder ? "Error: No QEV archive (*.qev) in " + folder + "\n" : line);
        EXPECT_EQ(check.exitCode, 1);
        testing::ToolRun unpack = runBinary({"qev-unpack", row.path, (tmp.dir() / "out").string()}, unpackBinary);
        EXPECT_EQ(unpack.err, line);
        EXPECT_EQ(unpack.exitCode, 1);
        EXPECT_FALSE(std::filesystem::exists(tmp.dir() / "out"));
    }
}

// What one argument means, as a newcomer types it: a title folder packed beside itself as
// that title, never replaced without --force, and unpacked beside the archive.
TEST_F(Binary, FirstRunWithOneArgument) {
    std::filesystem::path work = tmp.dir() / "work", title = work / "0005000010101D00_v64";
    std::filesystem::create_directories(title / "meta");
    std::filesystem::create_directories(title / "code");
    testing::writeFile(title / "meta/meta.xml", kMeta);
    testing::writeFile(title / "code/app.xml", "<app/>");
    ProcessOptions packBinary, unpackBinary;
    packBinary.program = QEV_PACK_PATH;
    unpackBinary.program = QEV_UNPACK_PATH;
    struct Row {
        std::vector<std::string> args;
        const ProcessOptions& program;
        int exitCode;
        std::string out, err;  // out: the start of standard output
    };
    const std::string archive = title.string() + ".qev", games = (work / "games.qev").string();
    const Row rows[] = {
        {{"qev-pack", title.string()},
         packBinary,
         0,
         "Packing " + title.string() + " as the title folder 0005000010101D00_v64 it is named as\n",
         ""},
        {{"qev-pack", title.string() + "/"},
         packBinary,
         1,
         "",
         "Error: Output file exists (use --force to replace it): " + archive + "\n"},
        {{"qev-unpack", archive},
         unpackBinary,
         1,
         "",
         "Error: Destination is not empty (use --force to write into it): " + title.string() + "\n"},
        {{"qev-pack", title.string(), games, "-q"}, packBinary, 0, "", ""},
        {{"qev-unpack", games, "-q"}, unpackBinary, 0, "", ""},
    };
    for (const Row& row : rows) {
        testing::ToolRun r = runBinary(row.args, row.program);
        EXPECT_EQ(r.exitCode, row.exitCode) << row.args[1] << ": " << r.err;
        EXPECT_EQ(r.out.substr(0, row.out.size()), row.out) << row.args[1];
        EXPECT_EQ(r.err, row.err) << row.args[1];
    }
    EXPECT_EQ(runBinary({"qev-tool", "list", archive}).out,
              "[{\"folderName\":\"0005000010101D00_v64\",\"titleId\":\"0005000010101D00\",\"version\":64}]\n");
    EXPECT_EQ(testing::readWholeFile(work / "games/0005000010101D00_v64/meta/meta.xml"), kMeta);

    // Several archives, or a folder of them, as zstd -t checks several: each, then one line.
    ProcessOptions checkBinary;
    checkBinary.program = QEV_CHECK_PATH;
    testing::writeFile(work / "broken.qev", std::string(300, 'x'));
    testing::ToolRun two = runBinary({"qev-check", archive, games, "--no-progress"}, checkBinary);
    EXPECT_EQ(two.exitCode, 0) << two.err;
    EXPECT_NE(two.out.find("\n\nArchive:      " + games + "\n"), std::string::npos) << two.out;
    EXPECT_TRUE(two.out.ends_with("\n\nChecked 2 archives: 2 without errors\n")) << two.out;
    testing::ToolRun folder = runBinary({"qev-check", work.string(), "--no-progress"}, checkBinary);
    EXPECT_EQ(folder.exitCode, 1);
    EXPECT_TRUE(folder.out.ends_with(
        "Checked 3 archives: 2 without errors, 1 with errors: " + (work / "broken.qev").string() + "\n"))
        << folder.out;
    EXPECT_EQ(folder.err, "Error: Failed to open QEV file: " + (work / "broken.qev").string() +
                              ": the footer's magic number is wrong: not a QEV archive\n");
}

}  // namespace
}  // namespace qev
