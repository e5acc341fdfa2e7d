// The commands through the tool's in-process seam: arguments in, exact bytes out.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/support/test_files.h"
#include "tests/support/test_names.h"
#include "tests/support/tool_run.h"
#include "tool/entry.h"
#include "tool/list_command.h"

namespace qev {
namespace {

using testing::ArchiveBuilder;
using testing::usageText;

const std::string kMeta = "<?xml version=\"1.0\"?>\n<menu/>\n";
const std::string kData = testing::patterned(300000) + testing::incompressible(70000);

// The root of the title-listing example, plus files to extract.
ArchiveBuilder sampleArchive() {
    return ArchiveBuilder()
        .dir("0005000010101D00_v64")
        .file("readme.txt", "read me\n")
        .dir("00050000a1b2c3d4_v0")
        .dir("0005000010101D00_V64")
        .dir("updates")
        .file("0005000010101D00_v64/meta/meta.xml", kMeta)
        .file("0005000010101D00_v64/content/data.bin", kData)
        .file("0005000010101D00_v64/content/empty", "");
}

const char kListExample[] = R"([{"folderName":"0005000010101D00_v64","titleId":"0005000010101D00","version":64},)"
                            R"({"folderName":"00050000a1b2c3d4_v0","titleId":"00050000a1b2c3d4","version":0}])"
                            "\n";

class Commands : public ::testing::Test {
protected:
    void SetUp() override {
        sampleArchive().writeTo(path("sample"));
        ArchiveBuilder damaged = sampleArchive();
        // The last block of data.bin does not decompress.
        damaged.editBlock(5, [](std::string& s) { s = "broken"; });
        damaged.writeTo(path("damaged"));
        ArchiveBuilder huge;
        huge.file("huge.bin", "x");
        huge.editTree([](auto& t) { t[1] = testing::fileEntry(t[1].nameOffset(), 0, (1ull << 48) - 1); });
        huge.writeTo(path("huge"));
    }
    std::string path(const std::string& name) { return (tmp.dir() / (name + ".qev")).string(); }

    // Replaces "@name" arguments with archive paths.
    testing::ToolRun run(std::vector<std::string> args) {
        for (std::string& a : args) {
            if (a.size() > 1 && a[0] == '@') a = path(a.substr(1));
        }
        return testing::runInProcess(args);
    }

    testing::TempFile tmp;
};

struct CliCase {
    const char* what;
    std::vector<std::string> args;
    std::string out;
    std::string err;  // "@name" stands for the path of that archive
    int exitCode;
};
QEV_PRINT_CASE_AS_WHAT(CliCase)

class CommandCases : public Commands, public ::testing::WithParamInterface<CliCase> {};

TEST_P(CommandCases, PrintExactlyTheExpectedBytes) {
    const CliCase& c = GetParam();
    testing::ToolRun r = run(c.args);
    std::string err = c.err;
    if (size_t at = err.find('@'); at != std::string::npos) {
        size_t end = err.find('\n', at);
        err.replace(at, end - at, path(err.substr(at + 1, end - at - 1)));
    }
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.exitCode, c.exitCode);
}

const std::string kUsage = usageText("qev-tool");
const std::string kNotFound = "Error: File not found or is not a file: ";

INSTANTIATE_TEST_SUITE_P(
    Cli, CommandCases,
    ::testing::Values(
        CliCase{"no command word", {"qev-tool"}, kUsage, "", 1},
        CliCase{"list alone", {"qev-tool", "list"}, kUsage, "Error: Missing QEV file path\n", 1},
        CliCase{"info alone", {"qev-tool", "info"}, kUsage, "Error: Missing QEV file path\n", 1},
        CliCase{"extract without file path",
                {"qev-tool", "extract", "@sample"},
                kUsage,
                "Error: Missing QEV file path or file path\n",
                1},
        CliCase{"upper case word", {"qev-tool", "LIST", "@sample"}, kUsage, "Error: Unknown command: LIST\n", 1},
        CliCase{"mixed case word", {"qev-tool", "Info"}, kUsage, "Error: Unknown command: Info\n", 1},
        CliCase{"prefix of a word", {"qev-tool", "lis", "@sample"}, kUsage, "Error: Unknown command: lis\n", 1},
        CliCase{"word with more", {"qev-tool", "lists"}, kUsage, "Error: Unknown command: lists\n", 1},
        CliCase{"empty word", {"qev-tool", ""}, kUsage, "Error: Unknown command: \n", 1},
        CliCase{"help flag", {"qev-tool", "--help"}, kUsage, "Error: Unknown command: --help\n", 1},
        CliCase{"list example", {"qev-tool", "list", "@sample"}, kListExample, "", 0},
        CliCase{"relative path echoed as typed",
                {"qev-tool", "info", "relative/../x.qev"},
                "",
                "Error: Failed to open QEV file: relative/../x.qev\n",
                1},
        CliCase{"list missing archive",
                {"qev-tool", "list", "@missing"},
                "",
                "Error: Failed to open QEV file: @missing\n",
                1},
        CliCase{"extract missing archive",
                {"qev-tool", "extract", "@missing", "a"},
                "",
                "Error: Failed to open QEV file: @missing\n",
                1},
        CliCase{"empty archive path", {"qev-tool", "info", ""}, "", "Error: Failed to open QEV file: \n", 1},
        CliCase{"extract meta", {"qev-tool", "extract", "@sample", "0005000010101D00_v64/meta/meta.xml"}, kMeta, "", 0},
        CliCase{"extract with backslashes and case",
                {"qev-tool", "extract", "@sample", "\\\\0005000010101d00_V64\\META//Meta.XML\\"},
                kMeta,
                "",
                0},
        CliCase{"extract multi block",
                {"qev-tool", "extract", "@sample", "0005000010101D00_v64/content/data.bin"},
                kData,
                "",
                0},
        CliCase{
            "extract empty file", {"qev-tool", "extract", "@sample", "0005000010101D00_v64/content/empty"}, "", "", 0},
        CliCase{"extract directory",
                {"qev-tool", "extract", "@sample", "0005000010101D00_v64"},
                "",
                kNotFound + "0005000010101D00_v64\n",
                1},
        CliCase{"extract root", {"qev-tool", "extract", "@sample", "/"}, "", kNotFound + "/\n", 1},
        CliCase{"extract empty path", {"qev-tool", "extract", "@sample", ""}, "", kNotFound + "\n", 1},
        CliCase{"extract missing",
                {"qev-tool", "extract", "@sample", "nope/meta.xml"},
                "",
                kNotFound + "nope/meta.xml\n",
                1},
        CliCase{"extract below a file",
                {"qev-tool", "extract", "@sample", "readme.txt/x"},
                "",
                kNotFound + "readme.txt/x\n",
                1},
        CliCase{"extract damaged last block",
                {"qev-tool", "extract", "@damaged", "0005000010101D00_v64/content/data.bin"},
                "",
                "Error: Failed to read complete file\n",
                1},
        CliCase{"extract undamaged file of damaged archive",
                {"qev-tool", "extract", "@damaged", "0005000010101D00_v64/meta/meta.xml"},
                kMeta,
                "",
                0},
        CliCase{"extract impossible size",
                {"qev-tool", "extract", "@huge", "huge.bin"},
                "",
                "Error: Failed to read complete file\n",
                1}),
    testing::NameFromWhat());

TEST_F(Commands, InfoEchoesThePathAndCountsRootChildren) {
    std::string p = path("sample");
    testing::ToolRun r = run({"qev-tool", "info", p, "extra", "words", "ignored"});
    EXPECT_EQ(r.out, R"({"path":")" + p +
                         R"(","totalFiles":5,"totalSize":0})"
                         "\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exitCode, 0);
}

TEST_F(Commands, InfoOnAnEmptyRoot) {
    ArchiveBuilder().writeTo(path("empty"));
    testing::ToolRun r = run({"qev-tool", "info", "@empty"});
    EXPECT_EQ(r.out, R"({"path":")" + path("empty") +
                         R"(","totalFiles":0,"totalSize":0})"
                         "\n");
    EXPECT_EQ(run({"qev-tool", "list", "@empty"}).out, "[]\n");
}

TEST_F(Commands, ZeroArgumentsShowUsageWithTheToolsName) {
    const char* none[] = {nullptr};
    std::ostringstream out, err;
    Console console{out, err};
    EXPECT_EQ(tool::runTool(0, none, console), 1);
    EXPECT_EQ(out.str(), kUsage);
    EXPECT_EQ(err.str(), "");
}

TEST_F(Commands, InvocationNamePrintedVerbatim) {
    std::string name = "/opt/my tools/qev-tool";
    testing::ToolRun r = run({name, "bogus"});
    EXPECT_EQ(r.out, usageText(name));
    EXPECT_NE(r.out.find("Example: qev-tool extract"), std::string::npos);
}

TEST_F(Commands, ListSkipsWhatIsNotATitleFolder) {
    ArchiveBuilder b;
    b.dir("0005000010101D00_v007")
        .file("0005000010101D00_v1", "a file, not a folder")
        .dir("0005000010101D0_v1")    // 15 digits
        .dir("0005000010101D000_v1")  // 17 digits
        .dir("0005000010101D00_v")
        .dir("0005000010101D00_v+1")
        .dir("0005000010101D00_v 1")
        .dir("0005000010101D00_v1 ")
        .dir("0005000010101G00_v1")
        .dir("0005000010101D00_v2147483647")
        .dir("0005000010101D00_v2147483648")  // beyond 32 bits: skipped
        .dir("0005000010101D00_v99999999999999999999")
        .dir("0005000010101D00_v00000000000000000000001")
        .dir("0005000010101D00_v007")  // the same name again is listed again
        .dir("outer/0005000010101D00_v5");
    b.dir(std::string_view("0005000010101D00_v3\0", 20));  // a zero byte after the digits
    b.writeTo(path("titles"));
    testing::ToolRun r = run({"qev-tool", "list", "@titles"});
    EXPECT_EQ(r.out,
              R"([{"folderName":"0005000010101D00_v007","titleId":"0005000010101D00","version":7},)"
              R"({"folderName":"0005000010101D00_v2147483647","titleId":"0005000010101D00","version":2147483647},)"
              R"({"folderName":"0005000010101D00_v00000000000000000000001","titleId":"0005000010101D00","version":1}])"
              "\n");
    EXPECT_EQ(r.exitCode, 0);
}

TEST(TitleNames, ParseKeepsCaseAndLeavesEntryAloneOnFailure) {
    TitleEntry e;
    ASSERT_TRUE(parseTitleFolderName("00050000a1B2c3D4_v12", e));
    EXPECT_EQ(e.folderName, "00050000a1B2c3D4_v12");
    EXPECT_EQ(e.titleId, "00050000a1B2c3D4");
    EXPECT_EQ(e.version, 12);
    for (std::string_view bad :
         {"", "00050000a1B2c3D4_v", "00050000a1B2c3D4_V1", "00050000a1B2c3D4-v1", "x00050000a1B2c3D4_v1",
          "00050000a1B2c3D4_v1\n", "00050000a1B2c3D4_v-1", "00050000a1B2c3D4_v4294967296"}) {
        EXPECT_FALSE(parseTitleFolderName(bad, e)) << bad;
        EXPECT_EQ(e.folderName, "00050000a1B2c3D4_v12");
    }
    EXPECT_FALSE(parseTitleFolderName(std::string_view("00050000a1B2c3D4_v1\0", 20), e));
}

}  // namespace
}  // namespace qev
