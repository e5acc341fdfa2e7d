// qev-unpack: whole archives and named paths written into a directory, and everything a
// hostile archive or a booby-trapped destination could try.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "pack/qev_pack.h"
#include "tests/support/test_files.h"
#include "tests/support/tool_run.h"
#include "unpack/run_unpack.h"

extern char** environ;

namespace qev {
namespace {

namespace fs = std::filesystem;
using testing::ArchiveBuilder;

using UnpackRun = testing::ToolRun;

UnpackRun unpack(std::vector<std::string> args) {
    args.insert(args.begin(), "qev-unpack");
    return testing::runSeam(unpack::runUnpack, args);
}

// Every entry below `root`, never following links: files by content, directories and
// links by kind.
using Snapshot = std::map<std::string, std::string>;
Snapshot snapshot(const fs::path& root) {
    Snapshot s;
    for (auto& e : fs::recursive_directory_iterator(root)) {
        std::string rel = fs::relative(e.path(), root).string();
        auto st = e.symlink_status();
        s[rel] = fs::is_symlink(st)        ? "<link>"
                 : fs::is_directory(st)    ? "<dir>"
                 : fs::is_regular_file(st) ? testing::readWholeFile(e.path())
                                           : "<other>";
    }
    return s;
}

// Points entry `node`'s name at `bytes`, appended to the name table.
void rename(ArchiveBuilder& b, NodeId node, std::string bytes) {
    b.editNamesAndTree([=](std::string& names, std::vector<TreeEntry>& tree) {
        tree[node].words[0] = (tree[node].words[0] & kFileFlag) | uint32_t(names.size());
        names += testing::encodeName(bytes);
    });
}

class Unpack : public ::testing::Test {
protected:
    fs::path dest() const { return tmp.dir() / "dest"; }
    std::string archive() const { return tmp.path().string(); }
    testing::TempFile tmp;
};

TEST_F(Unpack, RealTreeRoundTripsWithEmptyFilesAndFolders) {
    fs::path source = tmp.dir() / "src";
    // The regular files of a real documentation tree, links left aside.
    fs::path doc = fs::exists("/usr/share/doc/git") ? "/usr/share/doc/git" : "/usr/share/doc/make";
    size_t copied = 0;
    for (auto& e : fs::recursive_directory_iterator(doc)) {
        if (!fs::is_regular_file(e.symlink_status())) continue;
        fs::path to = source / "doc" / fs::relative(e.path(), doc);
        fs::create_directories(to.parent_path());
        fs::copy_file(e.path(), to);
        ++copied;
    }
    ASSERT_GT(copied, 5u);
    fs::create_directories(source / "empty/deeper");
    testing::writeFile(source / "zero.bin", "");
    testing::writeFile(source / "big.bin", testing::patterned(3 * 1024 * 1024 + 17));
    std::string pack = (tmp.dir() / "src.qev").string();
    const char* argv[] = {"qev-pack", source.c_str(), pack.c_str(), nullptr};
    std::ostringstream out, err;
    Console console{out, err};
    ASSERT_EQ(pack::runPack(3, argv, console), 0) << err.str();

    UnpackRun r = unpack({pack, dest().string(), "-q"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_TRUE(snapshot(dest()) == snapshot(source));
}

TEST_F(Unpack, JobCountsGiveTheSameTree) {
    ArchiveBuilder b;
    for (int i = 0; i < 40; ++i)
        b.file("d" + std::to_string(i % 7) + "/f" + std::to_string(i), testing::patterned(5000 * i, i + 1));
    b.writeTo(tmp.path());
    ASSERT_EQ(unpack({archive(), (tmp.dir() / "one").string(), "-j", "1"}).exitCode, 0);
    ASSERT_EQ(unpack({archive(), (tmp.dir() / "four").string(), "--jobs=4"}).exitCode, 0);
    Snapshot one = snapshot(tmp.dir() / "one");
    EXPECT_EQ(one.size(), 47u);
    EXPECT_TRUE(one == snapshot(tmp.dir() / "four"));
}

TEST_F(Unpack, NamedPathsAreWrittenAtTheirStoredPaths) {
    ArchiveBuilder b;
    b.file("Title/Meta/meta.xml", "<menu/>").file("Title/Code/app.rpx", "code").file("Other/x", "x");
    b.writeTo(tmp.path());
    UnpackRun r = unpack({archive(), dest().string(), "title\\META", "TITLE/code/APP.RPX", "missing/path", "-q"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Error: Path not found in archive: missing/path\n");
    EXPECT_EQ(snapshot(dest()), (Snapshot{{"Title", "<dir>"},
                                          {"Title/Meta", "<dir>"},
                                          {"Title/Meta/meta.xml", "<menu/>"},
                                          {"Title/Code", "<dir>"},
                                          {"Title/Code/app.rpx", "code"}}));
}

TEST_F(Unpack, ModesFollowTheUmaskAndTimesTheArchive) {
    ArchiveBuilder().file("d/f", "x").writeTo(tmp.path());
    struct timespec when[2] = {{1000000000, 5}, {1000000000, 5}};
    ASSERT_EQ(::utimensat(AT_FDCWD, tmp.path().c_str(), when, 0), 0);
    mode_t old = ::umask(022);
    UnpackRun r = unpack({archive(), dest().string()});
    ::umask(old);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(r.out.starts_with("1 files and 1 directories, 1 B, written to " + dest().string() + " in "));
    struct stat f, d;
    ASSERT_EQ(::stat((dest() / "d/f").c_str(), &f), 0);
    ASSERT_EQ(::stat((dest() / "d").c_str(), &d), 0);
    EXPECT_EQ(f.st_mode & 0777, 0644u);
    EXPECT_EQ(d.st_mode & 0777, 0755u);
    EXPECT_EQ(f.st_mtim.tv_sec, 1000000000);
    EXPECT_EQ(d.st_mtim.tv_sec, 1000000000);
}

struct UnsafeCase {
    const char* what;
    std::string name;
    std::string warning;
};

TEST_F(Unpack, UnsafeNamesAreSkippedWithAWarning) {
    std::vector<UnsafeCase> cases = {
        {"dot dot", "..", "d/.."},
        {"dot", ".", "d/."},
        {"slash", "a/b", "d/a\\x2Fb"},
        {"empty", "", "d/\"\""},
        {"zero byte", std::string("a\0b", 3), "d/a\\x00b"},
        {"the temporaries' prefix", ".qev-unpack-1-0", "d/.qev-unpack-1-0"},
    };
    for (const UnsafeCase& c : cases) {
        SCOPED_TRACE(c.what);
        testing::TempFile t;
        ArchiveBuilder b;
        b.file("d/victim", "evil").file("d/fine", "ok");
        rename(b, b.node("d/victim"), c.name);
        b.writeTo(t.path());
        fs::path out = t.dir() / "out" / "dest";
        UnpackRun r = unpack({t.path().string(), out.string(), "--no-progress"});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, "Warning: Skipped unsafe name: " + c.warning + "\n");
        EXPECT_EQ(unpack({t.path().string(), (t.dir() / "quiet").string(), "-q"}).err, "");
        EXPECT_EQ(snapshot(t.dir() / "out"), (Snapshot{{"dest", "<dir>"}, {"dest/d", "<dir>"}, {"dest/d/fine", "ok"}}));
    }
}

TEST_F(Unpack, ADirectoryNamedLikeATemporaryIsLeftOutWithItsContents) {
    ArchiveBuilder b;
    b.file("a/.qev-unpack-1-0/inner", "x").file("a/z/kept", "kept");
    b.writeTo(tmp.path());
    UnpackRun r = unpack({archive(), dest().string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Warning: Skipped unsafe name: a/.qev-unpack-1-0\n");
    EXPECT_EQ(snapshot(dest()), (Snapshot{{"a", "<dir>"}, {"a/z", "<dir>"}, {"a/z/kept", "kept"}}));
}

TEST_F(Unpack, LaterDuplicatesAndRevisitedDirectoriesAreNotWritten) {
    ArchiveBuilder b;
    b.file("a/x", "first").file("a/y", "second").dir("b/c").file("b/c/z", "z");
    rename(b, b.node("a/y"), "x");
    // a and b both hold x, the renamed y, and c: c is entered under a only.
    NodeId a = b.node("a"), bb = b.node("b"), x = b.node("a/x");
    b.editTree([=](auto& t) {
        t[a] = testing::directoryEntry(t[a].nameOffset(), x, 3);
        t[bb] = testing::directoryEntry(t[bb].nameOffset(), x, 3);
    });
    b.writeTo(tmp.path());
    UnpackRun r = unpack({archive(), dest().string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err,
              "Warning: Skipped unsafe name: a/x\n"
              "Warning: Skipped unsafe name: b/x\n"
              "Warning: Skipped directory reached a second time: b/c\n");
    EXPECT_EQ(
        snapshot(dest()),
        (Snapshot{
            {"a", "<dir>"}, {"a/x", "first"}, {"b", "<dir>"}, {"b/x", "first"}, {"a/c", "<dir>"}, {"a/c/z", "z"}}));
    EXPECT_EQ(unpack({archive(), (tmp.dir() / "b-only").string(), "b"}).err, "Warning: Skipped unsafe name: b/x\n");
}

TEST_F(Unpack, ADestinationThatHoldsAnythingIsRefusedUnlessForced) {
    ArchiveBuilder().file("f", "new").writeTo(tmp.path());
    fs::create_directories(dest());
    testing::writeFile(dest() / "f", "old");
    UnpackRun r = unpack({archive(), dest().string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Error: Destination is not empty (use --force to write into it): " + dest().string() + "\n");
    EXPECT_EQ(testing::readWholeFile(dest() / "f"), "old");
    EXPECT_EQ(unpack({archive(), dest().string(), "-f", "-q"}).exitCode, 0);
    EXPECT_EQ(testing::readWholeFile(dest() / "f"), "new");
    // A file where a file is wanted is replaced; a destination that is a file is refused.
    EXPECT_EQ(unpack({archive(), (dest() / "f").string()}).err,
              "Error: Cannot open destination " + (dest() / "f").string() + ": Not a directory\n");
}

TEST_F(Unpack, LinksPlantedInTheDestinationAreReplacedNeverFollowed) {
    ArchiveBuilder().file("dir/inner", "inside").file("file", "data").writeTo(tmp.path());
    fs::path outside = tmp.dir() / "outside";
    fs::create_directories(outside);
    testing::writeFile(outside / "target", "precious");
    fs::create_directories(dest());
    fs::create_directory_symlink(outside, dest() / "dir");
    fs::create_symlink(outside / "target", dest() / "file");
    Snapshot before = snapshot(outside);

    UnpackRun refused = unpack({archive(), dest().string()});
    EXPECT_EQ(refused.exitCode, 1);
    UnpackRun forced = unpack({archive(), dest().string(), "--force", "-q"});
    EXPECT_EQ(forced.exitCode, 0) << forced.err;
    EXPECT_TRUE(snapshot(outside) == before);
    EXPECT_EQ(snapshot(dest()), (Snapshot{{"dir", "<dir>"}, {"dir/inner", "inside"}, {"file", "data"}}));
}

std::vector<std::string> leftovers(const fs::path& root) {
    std::vector<std::string> found;
    for (auto& e : fs::recursive_directory_iterator(root)) {
        if (e.path().filename().string().starts_with(".qev-unpack-")) found.push_back(e.path());
    }
    return found;
}

TEST_F(Unpack, ADamagedBlockCostsOnlyItsFile) {
    ArchiveBuilder b;
    b.file("good1", testing::patterned(70000, 3)).file("bad", testing::patterned(200000, 4)).file("good2", "tail");
    // The second block holds bytes of good1 and bad; the fourth is bad's alone.
    b.editBlock(3, [](std::string& s) { s.resize(s.size() / 2); });
    b.writeTo(tmp.path());
    UnpackRun r = unpack({archive(), dest().string(), "-q"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Error: Failed to extract bad: a block of it is missing or damaged, or the archive changed\n");
    EXPECT_TRUE(snapshot(dest()) == (Snapshot{{"good1", testing::patterned(70000, 3)}, {"good2", "tail"}}));
    EXPECT_EQ(leftovers(dest()), std::vector<std::string>{});
}

TEST_F(Unpack, AFileSizeLimitFailsTheFilesBeyondItAndLeavesNoTemporary) {
    ArchiveBuilder().file("small", "fits").file("large", testing::patterned(3 << 20)).writeTo(tmp.path());
    struct rlimit old;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit limited = {1 << 20, old.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    UnpackRun r = unpack({archive(), dest().string(), "-q"});
    ::setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Error: Failed to extract large: File too large\n");
    EXPECT_EQ(snapshot(dest()), (Snapshot{{"small", "fits"}}));
    EXPECT_EQ(leftovers(dest()), std::vector<std::string>{});
}

// A drive that fills: the first file that finds no space says so, in one line, and the run
// stops there (a thousand files would otherwise give a thousand lines), leaving no temporary.
TEST_F(Unpack, AFullDriveStopsAtTheFirstFileWithOneLine) {
    fs::path small = tmp.dir() / "small";
    fs::create_directories(small);
    if (::geteuid() != 0 ||
        std::system(("mount -t tmpfs -o size=1m qev-test '" + small.string() + "' 2>/dev/null").c_str()) != 0) {
        GTEST_SKIP() << "needs root to mount a small tmpfs";
    }
    ArchiveBuilder b;
    for (int i = 0; i < 200; ++i) b.file("t/f" + std::to_string(1000 + i), testing::incompressible(20000, uint32_t(i)));
    b.writeTo(tmp.path());
    UnpackRun r = unpack({archive(), (small / "out").string(), "-q", "-j", "2"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.rfind("Error: Failed to extract t/f1", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(": No space left on device\n"), std::string::npos) << r.err;
    EXPECT_EQ(leftovers(small / "out"), std::vector<std::string>{});
    std::system(("umount '" + small.string() + "'").c_str());
}

TEST(UnpackOptions, Messages) {
    EXPECT_EQ(unpack({}).err,
              "Error: Missing QEV file path or destination (Usage: qev-unpack ARCHIVE [DEST [PATH...]] "
              "[-j N] [-f] [--no-sync] [--progress | --no-progress] [-q])\n");
    EXPECT_EQ(unpack({"games.zip"}).err,
              "Error: Missing destination: the archive's name does not end in .qev (Usage: qev-unpack ARCHIVE "
              "[DEST [PATH...]] [-j N] [-f] [--no-sync] [--progress | --no-progress] [-q])\n");
    EXPECT_EQ(unpack({"a", "b", "-j", "0"}).err, "Error: Invalid number of jobs: 0\n");
    EXPECT_EQ(unpack({"a", "b", "-j"}).err, "Error: -j needs a number\n");
    EXPECT_EQ(unpack({"a", "b", "--frobnicate"}).err, "Error: Unknown option: --frobnicate\n");
    EXPECT_EQ(unpack({"/nonexistent.qev", "b"}).err,
              "Error: Failed to open QEV file: /nonexistent.qev: No such file or directory\n");
    UnpackRun help = unpack({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.starts_with("Usage: qev-unpack ARCHIVE [DEST [PATH...]]")) << help.out;
    EXPECT_EQ(unpack({"--version"}).out, "qev-unpack " QEV_VERSION "\n");
}

// A real qev-unpack stopped by SIGTERM while it writes: it ends by that signal and leaves no
// temporary behind. Skipped when every attempt finished before the signal came.
TEST_F(Unpack, ASignalRemovesTheTemporaries) {
    ArchiveBuilder b;
    for (int i = 0; i < 8; ++i) b.file("f" + std::to_string(i), testing::incompressible(8 << 20, i + 1));
    b.writeTo(tmp.path());
    for (int delayMs : {150, 60, 20, 5}) {
        fs::remove_all(dest());
        std::string a = archive(), d = dest().string();
        const char* argv[] = {QEV_UNPACK_PATH, a.c_str(), d.c_str(), "-j", "2", "-q", nullptr};
        pid_t pid;
        ASSERT_EQ(posix_spawn(&pid, QEV_UNPACK_PATH, nullptr, nullptr, const_cast<char**>(argv), environ), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        ::kill(pid, SIGTERM);
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0) continue;  // finished first
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
        if (fs::exists(dest())) {
            EXPECT_EQ(leftovers(dest()), std::vector<std::string>{});
        }
        return;
    }
    GTEST_SKIP() << "qev-unpack always finished before the signal";
}

}  // namespace
}  // namespace qev
