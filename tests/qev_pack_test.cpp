#include "pack/qev_pack.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "archive/read/archive_reader.h"
#include "check/run_check.h"
#include "system/temporaries.h"
#include "tests/support/test_files.h"
#include "tests/support/tool_run.h"
#include "unpack/run_unpack.h"

namespace qev {
namespace {

namespace fs = std::filesystem;

using PackRun = testing::ToolRun;

PackRun pack(std::vector<std::string> args, const pack::PackHooks& hooks = {}) {
    args.insert(args.begin(), "qev-pack");
    return testing::runSeam(
        [&](int argc, const char* const* argv, Console& c) { return pack::runPack(argc, argv, c, hooks); }, args);
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
    EXPECT_EQ(reader->index().heldTables()->name(1), "a");
    EXPECT_EQ(reader->index().heldTables()->name(2), "b");
    EXPECT_EQ(reader->index().heldTables()->name(3), "c.txt");
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
    EXPECT_EQ(r.err, testing::noTitlesWarning(src()) + "Error: Compression failed: injected\n");
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
                         "Warning: Skipped special file: " + src() + "/pipe\n" + testing::noTitlesWarning(src()));
    auto reader = openArchive(out());
    EXPECT_EQ(reader->index().entryCount(0), 1u);
    EXPECT_NE(reader->index().findPath("real.txt"), kInvalidNode);
    // A tree of links: the first few lines, then a count.
    for (int i = 0; i < 12; ++i) fs::create_symlink("real.txt", tmp.dir() / "src" / ("more" + std::to_string(10 + i)));
    r = pack({src(), out(), "--force"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err,
              "Warning: Skipped symbolic link: " + src() + "/link\n" + "Warning: Skipped symbolic link: " + src() +
                  "/more10\n" + "Warning: Skipped symbolic link: " + src() + "/more11\n" +
                  "Warning: Skipped symbolic link: " + src() + "/more12\n" +
                  "Warning: Skipped symbolic link: " + src() + "/more13\n" + "Warning: Skipped special file: " + src() +
                  "/pipe\n" + "Warning: Skipped symbolic link: 8 more not shown\n" + testing::noTitlesWarning(src()));
}

// One large file: progress moves as its pieces are compressed, not once it is done, and
// says what it waits for while the archive is made durable; as JSON for programs.
TEST_F(Pack, ProgressMovesWithinALargeFile) {
    make("0005000010101D00_v64/content/big.bin", testing::incompressible(24 << 20));
    PackRun r = pack({src(), out(), "--progress=json", "-j", "1", "--level", "19"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::vector<uint64_t> within;  // bytesDone of the lines before the file is done
    std::stringstream lines(r.err);
    for (std::string line; std::getline(lines, line);) {
        const std::string head = "{\"phase\":\"files\",\"done\":0,\"total\":1,\"bytesDone\":";
        if (line.starts_with(head)) within.push_back(std::stoull(line.substr(head.size())));
    }
    ASSERT_GE(within.size(), 2u) << r.err;
    EXPECT_LT(within.front(), within.back());
    EXPECT_LT(within.front(), uint64_t(24) << 20);
    EXPECT_NE(r.err.find("\n{\"phase\":\"syncing\"}\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\r'), std::string::npos);
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
        EXPECT_EQ(testing::runInProcess({"qev-tool", "extract", out(name), "data"}).out, testing::patterned(300000));
    }
}

struct BadUse {
    std::vector<std::string> args;
    std::string err;
};

TEST_F(Pack, BadUseIsOneErrorLineAndLeavesNothingBehind) {
    make("f", "x");
    const std::string usage =
        "Usage: qev-pack SOURCE_DIR [OUTPUT.qev] [--level N] [-j N] [--no-dedup] [--force] [--recovery PERCENT] "
        "[--progress | --no-progress] [-q]";
    for (const BadUse& c : std::vector<BadUse>{
             {{}, "Error: Expected SOURCE_DIR and OUTPUT.qev (" + usage + ")"},
             {{src(), out(), "x"}, "Error: Expected SOURCE_DIR and OUTPUT.qev (" + usage + ")"},
             {{src() + "/."}, "Error: Name the archive: " + src() + "/. has no name of its own (" + usage + ")"},
             {{src(), out(), "--level", "99"}, "Error: Invalid compression level: 99"},
             {{src(), out(), "--level", "3x"}, "Error: Invalid compression level: 3x"},
             {{src(), out(), "--level"}, "Error: --level needs a value"},
             {{src(), out(), "--recovery", "0.05"}, "Error: Invalid recovery percentage (0.1 to 50): 0.05"},
             {{src(), out(), "--recovery", "1.5.0"}, "Error: Invalid recovery percentage: 1.5.0"},
             {{src(), out(), "--fast"}, "Error: Unknown option: --fast"},
             {{src(), out(), "-j", "0"}, "Error: Invalid number of jobs: 0"},
             {{src() + "/f", out()}, "Error: Not a directory: " + src() + "/f"},
             {{src() + "/missing", out()}, "Error: Not a directory: " + src() + "/missing"},
             {{src(), (tmp.dir() / "no/such/dir/out.qev").string()},
              "Error: Cannot create " + (tmp.dir() / "no/such/dir/out.qev").string() +
                  ": No such file or directory"}}) {
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
    EXPECT_TRUE(
        help.starts_with("Usage: qev-pack SOURCE_DIR [OUTPUT.qev] [--level N] [-j N] [--no-dedup] [--force] "
                         "[--recovery PERCENT] [--progress | --no-progress] [-q]\n"
                         "       qev-pack --update ARCHIVE [--add DIR]... [--remove PATH]..."))
        << help;
    for (const char* line : {"\n      --level N ", "\n  -j, --jobs N ", "\n  -q, --quiet ", "\n      --version "}) {
        EXPECT_NE(help.find(line), std::string::npos) << line;
    }
    EXPECT_TRUE(pack({"--version"}).out.starts_with("qev-pack "));
    // After "--" a name beginning with "-" is an argument.
    EXPECT_EQ(pack({"--", "-not-there", out()}).err, "Error: Not a directory: -not-there\n");
    EXPECT_EQ(pack({"--level"}).err, "Error: --level needs a value\n");
}

// The archive holds exactly the folder's entries and bytes.
void expectHolds(const std::string& archive, const fs::path& folder, const std::string& step) {
    auto reader = openArchive(archive);
    ASSERT_NE(reader, nullptr) << step;
    std::vector<std::string> stored;
    archiveEntries(*reader, 0, "", stored);
    std::sort(stored.begin(), stored.end());
    ASSERT_EQ(stored, packableEntries(folder)) << step;
    for (const std::string& path : stored) {
        if (!fs::is_regular_file(folder / path)) continue;
        NodeId node = reader->index().findPath(path);
        std::string bytes(reader->index().fileSize(node), '\0');
        reader->readFile(node, 0, bytes.size(), reinterpret_cast<uint8_t*>(bytes.data()));
        EXPECT_TRUE(bytes == testing::readWholeFile(folder / path)) << step << ": " << path;
    }
}

// Each step changes the archive as it would change a model folder, or is refused and
// changes nothing.
TEST_F(Pack, UpdateReadsLikePackingTheChangedTree) {
    fs::path model = tmp.dir() / "model", one = tmp.dir() / "one", two = tmp.dir() / "two", three = tmp.dir() / "three";
    const std::string noise = testing::incompressible(150000), other = testing::incompressible(150001);
    auto put = [](const fs::path& p, const std::string& bytes) {
        fs::create_directories(p.parent_path());
        testing::writeFile(p, bytes);
    };
    put(tmp.dir() / "src/T1/meta/meta.xml", "<menu/>");
    put(tmp.dir() / "src/T1/content/a.bin", noise);
    put(tmp.dir() / "src/T2/b.txt", "bee");
    put(one / "T1/content/same-as-a.bin", noise);  // stored once, at a.bin's bytes
    put(one / "T3/c.txt", "sea");
    put(one / "T3/other.bin", other);
    put(three / "T4/other-again.bin", other);  // stored once, in one folder or the other
    put(two / "T2/b.txt", "changed");
    put(two / "t3/C.TXT", "changed too");  // the same path as lookups match it
    const std::string archive = out();
    ASSERT_EQ(pack({src(), archive, "-q"}).exitCode, 0);
    fs::copy(src(), model, fs::copy_options::recursive);
    struct Step {
        const char* what;
        std::vector<std::string> args;
        std::function<void()> model;
        std::string refused;  // the error lines, when refused
    };
    const Step steps[] = {
        {"add",
         {"--add", one.string(), "--add", three.string()},
         [&] {
             fs::copy(one, model, fs::copy_options::recursive);
             fs::copy(three, model, fs::copy_options::recursive);
         },
         ""},
        {"conflicts",
         {"--add", two.string()},
         {},
         "Error: Already in the archive (use --replace to replace it): T2/b.txt\n"
         "Error: Already in the archive (use --replace to replace it): t3/C.TXT\n"},
        {"replace",
         {"--add", two.string(), "--replace"},
         [&] {
             fs::remove_all(model / "T3/c.txt");
             fs::copy(two / "T2", model / "T2", fs::copy_options::recursive | fs::copy_options::overwrite_existing);
             fs::copy(two / "t3/C.TXT", model / "T3/C.TXT");
         },
         ""},
        {"remove",
         {"--remove", "T1/content/a.bin", "--remove", "t2\\B.TXT"},
         [&] {
             fs::remove(model / "T1/content/a.bin");
             fs::remove(model / "T2/b.txt");
         },
         ""},
        {"remove what is not there", {"--remove", "T9"}, {}, "Error: Not in the archive: T9\n"},
        {"add a recovery record", {"--recovery", "1"}, [] {}, ""},
        {"recompress", {"--recompress", "--level", "5"}, [] {}, ""},
    };
    for (const Step& step : steps) {
        std::string before = testing::readWholeFile(archive);
        std::vector<std::string> args = {"--update", archive, "-q"};
        args.insert(args.end(), step.args.begin(), step.args.end());
        PackRun r = pack(args);
        if (!step.refused.empty()) {
            EXPECT_EQ(r.exitCode, 1) << step.what;
            EXPECT_EQ(r.err, step.refused) << step.what;
            EXPECT_TRUE(testing::readWholeFile(archive) == before) << step.what;
            continue;
        }
        ASSERT_EQ(r.exitCode, 0) << step.what << ": " << r.err;
        if (step.what == std::string("add")) {
            // Three copies of 150 KB of noise, one stored before: one more is stored.
            EXPECT_LT(fs::file_size(archive), before.size() + 200000) << step.what;
        }
        step.model();
        expectHolds(archive, model, step.what);
        testing::ToolRun c = testing::runSeam(check::runCheck, {"qev-check", archive, "--no-progress"});
        EXPECT_EQ(c.exitCode, 0) << step.what << ": " << c.out << c.err;
    }
    // Recompressed, the archive is laid out anew: exactly what packing the tree gives.
    ASSERT_EQ(pack({model.string(), out("packed.qev"), "-q", "--level", "5", "--recovery", "1"}).exitCode, 0);
    EXPECT_TRUE(testing::readWholeFile(archive) == testing::readWholeFile(out("packed.qev")));
    fs::remove(out("packed.qev"));
    std::vector<std::string> left;
    for (auto& e : fs::directory_iterator(tmp.dir())) left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"model", "one", "out.qev", "src", "three", "two"}));  // no temporary left
}

// An update once stored a copy of a kept file apart (its tenth file of that size); written
// anew, the copies are one again, as packing the tree stores them.
TEST_F(Pack, RecompressStoresCopiesOnceAsPackingDoes) {
    const std::string archive = out();
    fs::copy_file(fs::path(QEV_SOURCE_DIR) / "tests/regression/archive/update-copy-stored-apart.qev", archive);
    ASSERT_EQ(pack({"--update", archive, "--recompress", "-j", "1", "-q"}).exitCode, 0);
    ASSERT_EQ(testing::runSeam(unpack::runUnpack, {"qev-unpack", archive, out("tree"), "-q"}).exitCode, 0);
    ASSERT_EQ(pack({out("tree"), out("packed.qev"), "-q"}).exitCode, 0);
    EXPECT_TRUE(testing::readWholeFile(archive) == testing::readWholeFile(out("packed.qev")));
}

// Kept blocks are the old stored bytes; the workers never change the result; a failure
// half way (a file size limit) leaves the archive as it was.
TEST_F(Pack, UpdateKeepsBlocksAndFailsCleanly) {
    make("T1/a.bin", testing::incompressible(300000));
    make("T1/b.txt", std::string(200000, 'b'));
    fs::path more = tmp.dir() / "more/T2/c.bin";
    fs::create_directories(more.parent_path());
    testing::writeFile(more, testing::incompressible(500000));
    const std::string archive = out();
    ASSERT_EQ(pack({src(), archive, "-q"}).exitCode, 0);
    std::string before = testing::readWholeFile(archive);
    uint64_t dataSize =
        decodeFooter(reinterpret_cast<const uint8_t*>(before.data()) + before.size() - kFooterSize).dataSection.size;
    for (const char* jobs : {"1", "4"}) {
        ASSERT_EQ(pack({"--update", archive, "--add", more.parent_path().parent_path().string(), "-o",
                        out(std::string("j") + jobs + ".qev"), "-j", jobs, "-q"})
                      .exitCode,
                  0);
    }
    std::string updated = testing::readWholeFile(out("j1.qev"));
    EXPECT_TRUE(updated == testing::readWholeFile(out("j4.qev")));
    EXPECT_TRUE(updated.compare(0, dataSize, before, 0, dataSize) == 0);
    if (std::system("command -v prlimit > /dev/null 2>&1") != 0) GTEST_SKIP() << "prlimit is not installed";
    std::string command = "prlimit --fsize=" + std::to_string(before.size() / 2) + " '" QEV_PACK_PATH "' --update '" +
                          archive + "' --add '" + more.parent_path().parent_path().string() + "' -q 2> /dev/null";
    EXPECT_NE(std::system(command.c_str()), 0);
    EXPECT_TRUE(testing::readWholeFile(archive) == before);
    size_t entries = size_t(std::distance(fs::directory_iterator(tmp.dir()), fs::directory_iterator()));
    EXPECT_EQ(entries, 5u);  // src, more, out.qev, j1.qev, j4.qev: no temporary left
}

// A thread the system will not start is one error line and status 1, never an abort, and
// leaves no temporary: packing and unpacking with more jobs than the address space holds
// stacks for.
TEST_F(Pack, AThreadThatCannotStartIsOneErrorLine) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve more address space than the limit allows";
#endif
    if (std::system("command -v prlimit > /dev/null 2>&1") != 0) GTEST_SKIP() << "prlimit is not installed";
    make("a.bin", testing::incompressible(3000000));
    ASSERT_EQ(pack({src(), out(), "-q"}).exitCode, 0);
    const std::string err = (tmp.dir() / "err").string();
    for (std::string program :
         {std::string(QEV_PACK_PATH) + " '" + src() + "' '" + out("b.qev") + "'",
          std::string(QEV_UNPACK_PATH) + " '" + out() + "' '" + (tmp.dir() / "dest").string() + "'"}) {
        std::string command = "prlimit --as=1000000000 " + program + " -j 400 -q 2> '" + err + "'";
        int status = std::system(command.c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << program;
        // The stack that cannot be had, or whatever allocation meets the limit first.
        std::string line = testing::readWholeFile(err);
        EXPECT_TRUE(line.starts_with("Error: Cannot start a worker thread: ") || line == "Error: Out of memory\n")
            << program << "\n"
            << line;
    }
    for (auto& e : fs::directory_iterator(tmp.dir())) {
        EXPECT_EQ(e.path().filename().string().find(".qev-pack-"), std::string::npos) << e.path();
    }
}

// A process id that no longer runs: a child that has ended and been reaped.
pid_t endedProcess() {
    pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

// Temporaries that ended runs left are removed, with one line; those of a live process, of
// another host, and anything that is not a file are left alone. A run killed outright (as
// by the OOM killer) leaves one, which the next run removes.
TEST_F(Pack, TemporariesOfEndedRunsAreRemoved) {
    make("T/a.bin", testing::incompressible(3000000));
    const std::string archive = out();
    ASSERT_EQ(pack({src(), archive, "-q"}).exitCode, 0);
    const std::string live = TemporaryNames("qev-pack").name("x.qev", "0");  // this test's own process
    const std::string self = "-" + std::to_string(::getpid()) + "-";
    auto named = [&](const std::string& pid) {
        std::string name = live;
        return name.replace(name.find(self), self.size(), "-" + pid + "-");
    };
    const std::string dead = named(std::to_string(endedProcess()));
    std::string otherHost = dead;
    otherHost.replace(otherHost.find("qev-pack-") + 9, 0, "elsewhere-");
    for (const std::string& name : {live, dead, otherHost})
        testing::writeFile(tmp.dir() / name, std::string(1000, 'x'));
    fs::create_directory(tmp.dir() / named(std::to_string(endedProcess())));  // not a file: not ours
    PackRun r = pack({"--update", archive, "--remove", "T/a.bin"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "Warning: Removed 1 temporary file (1000 B) left in " + tmp.dir().string() +
                         " by qev-pack runs that ended\n");
    EXPECT_FALSE(fs::exists(tmp.dir() / dead));
    EXPECT_TRUE(fs::exists(tmp.dir() / live) && fs::exists(tmp.dir() / otherHost));

    // qev-pack killed outright half way, then run again.
    ASSERT_EQ(pack({src(), archive, "-q", "--force"}).exitCode, 0);
    pid_t killed = ::fork();
    if (killed == 0) {
        ::execl(QEV_PACK_PATH, QEV_PACK_PATH, "--update", archive.c_str(), "--recompress", "--level", "19", "-q",
                nullptr);
        ::_exit(127);
    }
    auto temporaries = [&] {
        size_t n = 0;
        for (auto& e : fs::directory_iterator(tmp.dir()))
            n += e.path().filename().string().find(".qev-pack-") != std::string::npos;
        return n;
    };
    for (int i = 0; i < 500 && temporaries() < 4; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ::kill(killed, SIGKILL);
    ::waitpid(killed, nullptr, 0);
    ASSERT_EQ(temporaries(), 4u);
    EXPECT_EQ(pack({"--update", archive, "-q"}).exitCode, 0);
    EXPECT_EQ(temporaries(), 3u);

    // qev-unpack removes its own kind from the folders it writes into.
    fs::path dest = tmp.dir() / "dest";
    fs::create_directories(dest / "T");
    const std::string unpackDead = ".qev-unpack-" + dead.substr(dead.find("qev-pack-") + 9);
    testing::writeFile(dest / "T" / unpackDead, "half");
    testing::writeFile(dest / unpackDead, "half");
    testing::ToolRun u = testing::runSeam(unpack::runUnpack, {"qev-unpack", archive, dest.string(), "--force"});
    EXPECT_EQ(u.exitCode, 0) << u.err;
    EXPECT_NE(u.err.find("Warning: Removed 2 temporary files (8 B) left in " + dest.string() +
                         " by qev-unpack runs that ended\n"),
              std::string::npos)
        << u.err;
    EXPECT_FALSE(fs::exists(dest / "T" / unpackDead) || fs::exists(dest / unpackDead));
}

}  // namespace
}  // namespace qev
