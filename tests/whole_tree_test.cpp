// The whole-tree programs as people run them: on an exFAT drive, on a chain of directories
// far deeper than any path, and under a low limit of open files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/test_files.h"
#include "tests/support/tool_run.h"

namespace qev {
namespace {

namespace fs = std::filesystem;
using testing::ArchiveBuilder;
using testing::ProcessOptions;
using testing::ToolRun;

ToolRun run(const char* program, std::vector<std::string> args, ProcessOptions options = {}) {
    options.program = program;
    args.insert(args.begin(), fs::path(program).filename().string());
    return testing::runBinary(args, options);
}

bool commandWorks(const std::string& command) { return std::system((command + " > /dev/null 2>&1").c_str()) == 0; }

// An exFAT image on a loop device, mounted through exfat-fuse: a filesystem that ignores
// letter case, has no hard links and refuses RENAME_NOREPLACE, as on SD cards and USB drives.
class ExfatDrive : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0 || !fs::exists("/dev/fuse") ||
            !commandWorks("command -v losetup mkfs.exfat mount.exfat-fuse")) {
            GTEST_SKIP() << "needs root, /dev/fuse, losetup, mkfs.exfat and mount.exfat-fuse";
        }
        image_ = tmp_.dir() / "drive.img";
        mount_ = tmp_.dir() / "drive";
        fs::create_directory(mount_);
        std::string setup = "truncate -s 64M " + image_.string() + " && mkfs.exfat " + image_.string();
        if (!commandWorks(setup)) GTEST_SKIP() << "cannot make an exFAT image";
        FILE* loop = ::popen(("losetup -f --show " + image_.string() + " 2>/dev/null").c_str(), "r");
        char device[64] = {};
        if (loop == nullptr || std::fgets(device, sizeof device, loop) == nullptr) {
            if (loop != nullptr) ::pclose(loop);
            GTEST_SKIP() << "no loop device";
        }
        ::pclose(loop);
        device_ = std::string(device, std::string(device).find_last_not_of('\n') + 1);
        if (!commandWorks("mount.exfat-fuse " + device_ + " " + mount_.string())) GTEST_SKIP() << "cannot mount exFAT";
        mounted_ = true;
    }
    void TearDown() override {
        if (mounted_) commandWorks("umount " + mount_.string());
        if (!device_.empty()) commandWorks("losetup -d " + device_);
    }

    testing::TempFile tmp_{"archive.qev"};
    fs::path image_, mount_;
    std::string device_;
    bool mounted_ = false;
};

TEST_F(ExfatDrive, LetterCaseTwinsKeepTheFirstAndArchivesAreWritten) {
    ArchiveBuilder()
        .file("T/a.txt", "lower")
        .file("T/A.txt", "UPPER")
        .file("Sub/x", "x")
        .file("sub/y", "y")
        .writeTo(tmp_.path());
    const std::string twin = "Warning: Skipped name differing from an earlier sibling's only in letter case: ";
    for (const char* force : {"", "--force"}) {
        std::vector<std::string> args = {tmp_.path().string(), (mount_ / "out").string(), "--no-progress"};
        if (*force) args.push_back(force);
        ToolRun r = run(QEV_UNPACK_PATH, args);
        EXPECT_EQ(r.exitCode, 1) << force;
        EXPECT_EQ(r.err, twin + "sub\n" + twin + "T/A.txt\n") << force;
        EXPECT_EQ(testing::readWholeFile(mount_ / "out/T/a.txt"), "lower") << force;
        EXPECT_EQ(testing::readWholeFile(mount_ / "out/Sub/x"), "x") << force;
        EXPECT_FALSE(fs::exists(mount_ / "out/Sub/y")) << force;
    }
    // qev-pack writes there although the drive cannot rename without replacing, and
    // still never replaces an archive unless told to.
    fs::path archive = mount_ / "packed.qev";
    EXPECT_EQ(run(QEV_PACK_PATH, {(mount_ / "out").string(), archive.string(), "-q"}).exitCode, 0);
    ToolRun again = run(QEV_PACK_PATH, {(mount_ / "out").string(), archive.string(), "-q"});
    EXPECT_EQ(again.err, "Error: Output file exists (use --force to replace it): " + archive.string() + "\n");
    EXPECT_EQ(run(QEV_PACK_PATH, {(mount_ / "out").string(), archive.string(), "-q", "--force"}).exitCode, 0);
    EXPECT_EQ(run(QEV_CHECK_PATH, {archive.string()}).exitCode, 0);
    for (const auto& e : fs::directory_iterator(mount_))
        EXPECT_EQ(e.path().string().find(".qev-pack-"), std::string::npos);
}

// Every whole-tree program on a chain of directories: time linear in depth, no recursion
// per level. Quadratic work would take hours at this depth; the limit is generous.
TEST(DeepTree, EveryProgramHandlesAChainInSeconds) {
    constexpr int kDepth = 20000;
    testing::TempFile tmp("chain.qev");
    std::string path = "d";
    ArchiveBuilder b;
    for (int level = 1; level < kDepth; ++level) path += "/d";
    b.dir(path).file(path + "/last", "bottom").file("d/first", "top");
    b.writeTo(tmp.path());
    auto began = std::chrono::steady_clock::now();
    std::string out = (tmp.dir() / "out").string();
    EXPECT_EQ(run(QEV_UNPACK_PATH, {tmp.path().string(), out, "-q"}).exitCode, 0);
    EXPECT_EQ(run(QEV_UNPACK_PATH, {tmp.path().string(), out, "-q", "--force"}).exitCode, 0);
    ProcessOptions toNull;
    toNull.stdoutPath = "/dev/null";
    for (const char* mode : {"--quick", "--list", "-j2"}) {
        EXPECT_EQ(run(QEV_CHECK_PATH, {tmp.path().string(), mode}, toNull).exitCode, 0) << mode;
    }
    std::string repacked = (tmp.dir() / "again.qev").string();
    EXPECT_EQ(run(QEV_PACK_PATH, {out, repacked, "-q"}).exitCode, 0);
    EXPECT_EQ(run(QEV_TOOL_PATH, {"extract", repacked, path + "/last"}).out, "bottom");
#ifdef QEV_EXAMPLE_PATH
    // The library's walk, with every entry's path, through the C example.
    EXPECT_EQ(run(QEV_EXAMPLE_PATH, {tmp.path().string()}, toNull).exitCode, 0);
#endif
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(120));
}

// Descriptors grow with the jobs, never with the tree: too many jobs for the limit are
// lowered with one warning, and the default and 64 jobs fit 256 descriptors.
TEST(OpenFileLimit, JobsFitTheLimit) {
    if (!commandWorks("command -v prlimit")) GTEST_SKIP() << "needs prlimit";
    testing::TempFile tmp("many.qev");
    ArchiveBuilder b;
    for (int i = 0; i < 2000; ++i) b.file("t" + std::to_string(i % 20) + "/f" + std::to_string(i), "x");
    b.writeTo(tmp.path());
    struct Row {
        const char* limit;
        const char* jobs;
        const char* warning;
    };
    for (const Row& row :
         {Row{"--nofile=64", "-j32", "Warning: Using 13 jobs, as many as the limit of 64 open files allows\n"},
          Row{"--nofile=256", "-j64", ""}, Row{"--nofile=256", "--jobs=0", ""}}) {
        ProcessOptions limited;
        limited.wrapper = {"prlimit", row.limit};
        std::string out = (tmp.dir() / (std::string("out") + row.jobs)).string();
        std::vector<std::string> args = {tmp.path().string(), out, "--no-progress"};
        if (std::string(row.jobs) != "--jobs=0") args.push_back(row.jobs);  // else the default
        ToolRun r = run(QEV_UNPACK_PATH, args, limited);
        EXPECT_EQ(r.exitCode, 0) << row.jobs << r.err;
        EXPECT_EQ(r.err, row.warning) << row.jobs;
        EXPECT_TRUE(r.out.starts_with("2000 files and 20 directories")) << r.out;
    }
}

}  // namespace
}  // namespace qev
