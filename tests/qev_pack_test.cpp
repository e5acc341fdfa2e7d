#include "pack/qev_pack.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "tests/support/test_files.h"
#include "tests/support/tool_run.h"

namespace qev {
namespace {

namespace fs = std::filesystem;

using PackRun = testing::ToolRun;

PackRun pack(std::vector<std::string> args, const pack::PackHooks& hooks = {}) {
    args.insert(args.begin(), "qev-pack");
    return testing::runSeam([&](int argc, const char* const* argv, Console& c) { return pack::runPack(argc, argv, c, hooks); },
                            args);
}

// Paths of the regular files and directories below `root`, as the archive should hold them.
std::vector<std::string> packableEntries(const fs::path& root) {
    std::vector<std::string> out;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        auto st = it->symlink_status();
        if (fs::is_regular_file(st) || fs::is_directory(st)) out.push_back(fs::relative(it->path(), root).string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Every path in the archive, walking the tree from the root.
void archiveEntries(const ArchiveReader& r, NodeId dir, const std::string& prefix, std::vector<std::string>& out) {
    for (uint32_t i = 0; i < r.index().entryCount(dir); ++i) {
        DirEntryInfo info;
        ASSERT_TRUE(r.index().entryAt(dir, i, info));
        std::string path = prefix + std::string(info.name);
        out.push_back(path);
        if (info.isDirectory) archiveEntries(r, r.index().findPath(path), path + "/", out);
    }
}

class Pack : public ::testing::Test {
protected:
    fs::path make(const std::string& relative, const std::string& contents) {
        fs::path p = tmp.dir() / "src" / relative;
        fs::create_directories(p.parent_path());
        testing::writeFile(p, contents);
        return p;
    }
    std::string src() const { return (tmp.dir() / "src").string(); }
    std::string out(const std::string& name = "out.qev") const { return (tmp.dir() / name).string(); }
    testing::TempFile tmp;
};

TEST_F(Pack, RealTreeRoundTripsByteForByte) {
    fs::path source = fs::exists("/usr/share/doc/git") ? "/usr/share/doc/git" : "/usr/share/doc/make";
    ASSERT_TRUE(fs::is_directory(source));
    PackRun r = pack({source.string(), out()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find(" files and "), std::string::npos) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1);

    auto reader = openArchive(out());
    ASSERT_NE(reader, nullptr);
    std::vector<std::string> stored;
    archiveEntries(*reader, 0, "", stored);
    std::sort(stored.begin(), stored.end());
    EXPECT_EQ(stored, packableEntries(source));

    size_t files = 0;
    for (const std::string& path : stored) {
        if (!fs::is_regular_file(fs::symlink_status(source / path))) continue;
        testing::ToolRun x = testing::runInProcess({"qev-tool", "extract", out(), path});
        ASSERT_EQ(x.exitCode, 0) << path;
        ASSERT_TRUE(x.out == testing::readWholeFile(source / path)) << path;
        ++files;
    }
    EXPECT_GT(files, 10u);
}

TEST_F(Pack, SameTreeGivesSameBytes) {
    make("b/one.txt", "1");
    make("a/two.bin", testing::incompressible(200000));
    make("c.txt", testing::patterned(100000));
    ASSERT_EQ(pack({src(), out("first.qev")}).exitCode, 0);
    ASSERT_EQ(pack({src(), out("second.qev")}).exitCode, 0);
    EXPECT_TRUE(testing::readWholeFile(out("first.qev")) == testing::readWholeFile(out("second.qev")));
    // Children are stored in the order of their names' bytes.
    auto reader = openArchive(out("first.qev"));
    EXPECT_EQ(reader->index().entryName(1), "a");
    EXPECT_EQ(reader->index().entryName(2), "b");
    EXPECT_EQ(reader->index().entryName(3), "c.txt");
}

TEST_F(Pack, CommittedSampleIsWhatPackMakes) {
    fs::path examples = fs::path(QEV_SOURCE_DIR) / "examples";
    ASSERT_EQ(pack({(examples / "sample").string(), out()}).exitCode, 0);
    EXPECT_TRUE(testing::readWholeFile(out()) == testing::readWholeFile(examples / "sample.qev"))
        << "examples/sample.qev is stale: run qev-pack examples/sample examples/sample.qev --force";
    EXPECT_LT(fs::file_size(examples / "sample.qev"), 100u * 1024);
}

size_t openDescriptors() {
    size_t n = 0;
    for ([[maybe_unused]] auto& e : fs::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

TEST_F(Pack, AFailureWhileStoringAFileLeavesNoTemporaryAndNoDescriptor) {
    make("big.bin", testing::patterned(300000));
    size_t before = openDescriptors();
    pack::PackHooks hooks;
    hooks.beforeBlock = [](size_t block) {
        if (block == 2) throw writer::CompressionError("injected");
    };
    PackRun r = pack({src(), out()}, hooks);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Error: Compression failed: injected\n");
    EXPECT_EQ(openDescriptors(), before);
    std::vector<std::string> left;
    for (auto& e : fs::directory_iterator(tmp.dir())) left.push_back(e.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"src"});
}

TEST_F(Pack, TheArchiveGetsTheModeOfANewFile) {
    make("f", "x");
    mode_t old = ::umask(027);
    PackRun r = pack({src(), out()});
    ::umask(old);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    struct stat st;
    ASSERT_EQ(::stat(out().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(Pack, RefusesToOverwriteUnlessForced) {
    make("f", "new");
    testing::writeFile(out(), "old");
    PackRun r = pack({src(), out()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Error: Output file exists (use --force to replace it): " + out() + "\n");
    EXPECT_EQ(testing::readWholeFile(out()), "old");
    PackRun forced = pack({src(), out(), "--force"});
    EXPECT_EQ(forced.exitCode, 0) << forced.err;
    EXPECT_NE(openArchive(out()), nullptr);
}

TEST_F(Pack, SkipsLinksAndSpecialFilesWithAMessage) {
    make("real.txt", "real");
    fs::create_symlink("real.txt", tmp.dir() / "src" / "link");
    ASSERT_EQ(::mkfifo((tmp.dir() / "src" / "pipe").c_str(), 0600), 0);
    PackRun r = pack({src(), out()});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "Warning: Skipped symbolic link: " + src() + "/link\n" +
                         "Warning: Skipped special file: " + src() + "/pipe\n");
    auto reader = openArchive(out());
    EXPECT_EQ(reader->index().entryCount(0), 1u);
    EXPECT_NE(reader->index().findPath("real.txt"), kInvalidNode);
}

TEST_F(Pack, KeepsEmptyFilesAndDirectories) {
    make("empty.txt", "");
    fs::create_directories(tmp.dir() / "src" / "hollow" / "deeper");
    ASSERT_EQ(pack({src(), out()}).exitCode, 0);
    auto reader = openArchive(out());
    NodeId empty = reader->index().findPath("empty.txt");
    EXPECT_TRUE(reader->index().isFile(empty));
    EXPECT_EQ(reader->index().fileSize(empty), 0u);
    EXPECT_TRUE(reader->index().isDirectory(reader->index().findPath("hollow/deeper")));
    EXPECT_EQ(testing::runInProcess({"qev-tool", "extract", out(), "empty.txt"}).exitCode, 0);
}

TEST_F(Pack, LevelsChangeCompressionNotContents) {
    make("data", testing::patterned(300000));
    ASSERT_EQ(pack({src(), out("fast.qev"), "--level", "1"}).exitCode, 0);
    ASSERT_EQ(pack({src(), out("small.qev"), "--level=19"}).exitCode, 0);
    for (const char* name : {"fast.qev", "small.qev"}) {
        EXPECT_EQ(testing::runInProcess({"qev-tool", "extract", out(name), "data"}).out,
                  testing::patterned(300000));
    }
}

struct BadUse {
    std::vector<std::string> args;
    std::string err;
};

TEST_F(Pack, BadUseIsOneErrorLineAndLeavesNothingBehind) {
    make("f", "x");
    const std::string usage =
        "Usage: qev-pack SOURCE_DIR OUTPUT.qev [--level N] [-j N] [--no-dedup] [--force] [--recovery PERCENT] "
        "[--progress | --no-progress] [-q]";
    for (const BadUse& c : std::vector<BadUse>{
             {{}, "Error: Expected SOURCE_DIR and OUTPUT.qev (" + usage + ")"},
             {{src()}, "Error: Expected SOURCE_DIR and OUTPUT.qev (" + usage + ")"},
             {{src(), out(), "--level", "99"}, "Error: Invalid compression level: 99"},
             {{src(), out(), "--level", "3x"}, "Error: Invalid compression level: 3x"},
             {{src(), out(), "--level"}, "Error: --level needs a value"},
             {{src(), out(), "--recovery", "0.05"}, "Error: Invalid recovery percentage (0.1 to 50): 0.05"},
             {{src(), out(), "--recovery", "1.5.0"}, "Error: Invalid recovery percentage: 1.5.0"},
             {{src(), out(), "--fast"}, "Error: Unknown option: --fast"},
             {{src(), out(), "-j", "0"}, "Error: Invalid number of jobs: 0"},
             {{src() + "/f", out()}, "Error: Not a directory: " + src() + "/f"},
             {{src() + "/missing", out()}, "Error: Not a directory: " + src() + "/missing"},
             {{src(), (tmp.dir() / "no/such/dir/out.qev").string()}, ""}}) {
        PackRun r = pack(c.args);
        EXPECT_EQ(r.exitCode, 1);
        if (!c.err.empty()) {
            EXPECT_EQ(r.err, c.err + "\n");
        }
        EXPECT_TRUE(r.err.starts_with("Error: ")) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
    }
    // Only the source tree is left: no output and no temporary file.
    std::vector<fs::path> left(fs::directory_iterator(tmp.dir()), {});
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].filename(), "src");
}

TEST_F(Pack, HelpVersionAndTheEndOfOptions) {
    std::string help = pack({"--help"}).out;
    EXPECT_TRUE(help.starts_with("Usage: qev-pack SOURCE_DIR OUTPUT.qev [--level N] [-j N] [--no-dedup] [--force] "
                                 "[--recovery PERCENT] [--progress | --no-progress] [-q]\n\nOptions:\n")) << help;
    for (const char* line : {"\n      --level N ", "\n  -j, --jobs N ", "\n  -q, --quiet ", "\n      --version "}) {
        EXPECT_NE(help.find(line), std::string::npos) << line;
    }
    EXPECT_TRUE(pack({"--version"}).out.starts_with("qev-pack "));
    // After "--" a name beginning with "-" is an argument.
    EXPECT_EQ(pack({"--", "-not-there", out()}).err, "Error: Not a directory: -not-there\n");
    EXPECT_EQ(pack({"--level"}).err, "Error: --level needs a value\n");
}

}  // namespace
}  // namespace qev
