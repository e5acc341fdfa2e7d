// qev-mount: the mount's own logic in process, then real mounts through FUSE.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "archive/integrity_record.h"
#include "mount/mount_tree.h"
#include "mount/run_mount.h"
#include "tests/support/test_files.h"
#include "tests/support/tool_run.h"

extern char** environ;

namespace qev {
namespace {

namespace fs = std::filesystem;
using testing::ArchiveBuilder;

TEST(MountTree, LookupExactFirstThenFoldedAndHidesWhatItCannotShow) {
    ArchiveBuilder b;
    b.file("Code", "1").file("code", "2").file("CODE", "3").file("code", "dup").file("a/b", "4").file("..", "5");
    auto reader = testing::openBytes(b.build());
    struct stat archive {};
    archive.st_mtim.tv_sec = 1234;
    mount::MountTree tree(reader->sharedIndex(), archive, 42, 43);
    EXPECT_EQ(tree.lookup(0, "code"), 2u);  // exact match although "Code" comes first
    EXPECT_EQ(tree.lookup(0, "cOdE"), 1u);  // folded: the first in tree order
    EXPECT_EQ(tree.lookup(0, ".."), kInvalidNode);
    EXPECT_EQ(tree.lookup(0, "nope"), kInvalidNode);
    // The second "code" is a later exact duplicate: left out of the listing.
    const mount::DirectoryIndex* root = tree.directory(0);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->children, (std::vector<NodeId>{1, 2, 3, 5}));
    EXPECT_EQ(tree.directory(1), nullptr);

    struct stat file = tree.attributes(1), dir = tree.attributes(5);
    EXPECT_EQ(file.st_mode, S_IFREG | 0444);
    EXPECT_EQ(dir.st_mode, S_IFDIR | 0555);
    EXPECT_EQ(file.st_ino, 2u);
    EXPECT_EQ(file.st_size, 1);
    EXPECT_EQ(file.st_uid, 42u);
    EXPECT_EQ(file.st_mtim.tv_sec, 1234);
}

TEST(MountTree, LargeSizesAndFailedReads) {
    ArchiveBuilder b;
    b.file("huge", "x").file("broken", testing::patterned(70000));
    b.editTree([](auto& t) { t[1] = testing::fileEntry(t[1].nameOffset(), 0, uint64_t(5) << 32); });
    b.editBlock(1, [](std::string& s) { s.resize(s.size() - 4); });
    std::string bytes = b.build();
    auto reader = testing::openBytes(bytes);
    mount::MountTree tree(reader->sharedIndex(), {}, 0, 0, 2);  // reads take whichever reader is free
    EXPECT_EQ(tree.attributes(1).st_size, off_t(5) << 32);
    char buf[16];
    EXPECT_EQ(tree.read(2, 69990, 16, buf), -EIO);  // crosses into the damaged block
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(tree.read(2, 0, 16, buf), 16);
        EXPECT_EQ(std::string(buf, 16), testing::patterned(16));
    }
    EXPECT_EQ(tree.read(2, 70000, 16, buf), 0);
}

// A tree with a cycle and shared children. Root: a(1) b(2); a: c(3) x(4); b: d(5);
// c's children are a and c itself, and b claims c and d.
std::string tangledArchive() {
    ArchiveBuilder b;
    b.dir("a/c").file("a/x", "shared").dir("b/d");
    b.editTree([](auto& t) {
        t[3] = testing::directoryEntry(t[3].nameOffset(), 1, 1);
        t[2] = testing::directoryEntry(t[2].nameOffset(), 3, 3);
    });
    return b.build();
}

TEST(MountTree, ShowsEachDirectoryUnderTheFirstParentTheWalkReachesItThrough) {
    auto reader = testing::openBytes(tangledArchive());
    mount::MountTree tree(reader->sharedIndex(), {}, 0, 0);
    EXPECT_EQ(tree.directory(0)->children, (std::vector<NodeId>{1, 2}));
    EXPECT_EQ(tree.directory(1)->children, (std::vector<NodeId>{3, 4}));
    EXPECT_EQ(tree.directory(3)->children, std::vector<NodeId>{});  // a is shown under the root
    // b shows the file x (files may appear twice) and d, but not c, which a shows.
    EXPECT_EQ(tree.directory(2)->children, (std::vector<NodeId>{4, 5}));
    EXPECT_EQ(tree.lookup(2, "c"), kInvalidNode);
    EXPECT_EQ(tree.attributes(4).st_nlink, 1u);
}

TEST(MountTree, ReadersShareOneArchiveWhateverTheTablesWeigh) {
    std::string big = testing::patterned(400000);
    auto reader = testing::openBytes(ArchiveBuilder()
                                         .file("big", big)
                                         .editNames([](std::string& n) { n.append(65 << 20, 'n'); })
                                         .build());
    ASSERT_GT(reader->index().tableBytes(), uint64_t(64) << 20);
    mount::MountTree tree(reader->sharedIndex(), {}, 0, 0, 4);
    EXPECT_EQ(tree.readerCount(), 4u);
    EXPECT_EQ(reader->sharedIndex().use_count(), 6);  // this reader, the tree and its four
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::vector<char> buf(100000);
            for (int i = 0; i < 20; ++i) {
                size_t at = size_t((t * 20 + i) * 3001 % 300000);
                if (tree.read(1, at, buf.size(), buf.data()) != long(buf.size()) ||
                    std::string(buf.begin(), buf.end()) != big.substr(at, buf.size())) {
                    ++wrong;
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
}

testing::ToolRun runMountInProcess(std::vector<std::string> args) {
    args.insert(args.begin(), "qev-mount");
    return testing::runSeam(mount::runMount, args);
}

TEST(RunMount, ArgumentsAndOpeningInProcess) {
    testing::ToolRun none = runMountInProcess({});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_EQ(none.err, "Error: Missing QEV file path or mount point\n");
    EXPECT_EQ(none.out, "Usage: qev-mount ARCHIVE MOUNTPOINT [options]\n");
    EXPECT_EQ(runMountInProcess({"only.qev"}).err, "Error: Missing QEV file path or mount point\n");

    testing::TempFile tmp;
    testing::writeFile(tmp.path(), std::string(300, 'x'));
    testing::ToolRun bad = runMountInProcess({tmp.path().string(), tmp.dir().string()});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_EQ(bad.err, "Error: Failed to open QEV file: " + tmp.path().string() + "\n");

    // Nothing proves the blocks of an archive whose integrity record is damaged: not mounted.
    fs::create_directories(tmp.dir() / "src/t");
    testing::writeFile(tmp.dir() / "src/t/a", "a");
    std::string archive = (tmp.dir() / "a.qev").string();
    ASSERT_EQ(std::system(("'" QEV_PACK_PATH "' '" + (tmp.dir() / "src").string() + "' '" + archive + "' -q").c_str()), 0);
    std::string bytes = testing::readWholeFile(archive);
    bytes[decodeFooter(reinterpret_cast<const uint8_t*>(bytes.data()) + bytes.size() - kFooterSize).auxSection1.offset + kIntegrityHeaderSize] ^= 1;
    testing::writeFile(archive, bytes);
    testing::ToolRun unproven = runMountInProcess({archive, tmp.dir().string()});
    EXPECT_EQ(unproven.exitCode, 1);
    EXPECT_NE(unproven.err.find("Error: Not mounted: " + archive + ": the integrity record is damaged"), std::string::npos)
        << unproven.err;

    testing::ToolRun help = runMountInProcess({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("-o unproven"), std::string::npos);
    EXPECT_TRUE(help.out.starts_with("Usage: qev-mount ARCHIVE MOUNTPOINT [options]\n")) << help.out;
    testing::ToolRun version = runMountInProcess({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "qev-mount version " QEV_VERSION "\n");
}

bool fuseUsable() {
    int fd = ::open("/dev/fuse", O_RDWR);
    if (fd < 0) return false;
    ::close(fd);
    return std::system("command -v fusermount3 > /dev/null 2>&1") == 0;
}

// A mount of one archive, served by a real qev-mount in the foreground.
class Mounted {
public:
    Mounted(const fs::path& archive, const fs::path& dir) : dir_(dir) {
        fs::create_directories(dir);
        std::string a = archive.string(), d = dir.string();
        const char* argv[] = {QEV_MOUNT_PATH, a.c_str(), d.c_str(), "-f", nullptr};
        if (posix_spawn(&pid_, QEV_MOUNT_PATH, nullptr, nullptr, const_cast<char**>(argv), environ) != 0) pid_ = -1;
        for (int i = 0; i < 500 && pid_ > 0 && !mounted(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ~Mounted() { unmount(); }
    bool mounted() const {
        struct statfs s;
        return ::statfs(dir_.c_str(), &s) == 0 && s.f_type == 0x65735546;  // FUSE_SUPER_MAGIC
    }
    // Unmounts and returns qev-mount's exit status.
    int unmount() {
        if (pid_ <= 0) return -1;
        std::system(("fusermount3 -u '" + dir_.string() + "' 2>/dev/null").c_str());
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    fs::path dir_;
    pid_t pid_ = -1;
};

class RealMount : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fuseUsable()) GTEST_SKIP() << "/dev/fuse or fusermount3 cannot be used here";
    }
    fs::path mnt() const { return tmp.dir() / "mnt"; }
    testing::TempFile tmp;
};

TEST_F(RealMount, ShowsThePackedTreeByteForByte) {
    fs::path source = fs::exists("/usr/share/doc/git") ? "/usr/share/doc/git" : "/usr/share/doc/make";
    std::string archive = (tmp.dir() / "doc.qev").string();
    ASSERT_EQ(std::system(("'" QEV_PACK_PATH "' '" + source.string() + "' '" + archive + "' 2>/dev/null").c_str()), 0);
    Mounted m(archive, mnt());
    ASSERT_TRUE(m.mounted());
    std::map<std::string, std::string> expected, shown;
    for (auto& e : fs::recursive_directory_iterator(source)) {
        auto st = e.symlink_status();
        if (fs::is_regular_file(st)) expected[fs::relative(e.path(), source)] = testing::readWholeFile(e.path());
        if (fs::is_directory(st)) expected[fs::relative(e.path(), source)] = "<dir>";
    }
    for (auto& e : fs::recursive_directory_iterator(mnt())) {
        shown[fs::relative(e.path(), mnt())] = e.is_directory() ? "<dir>" : testing::readWholeFile(e.path());
        EXPECT_EQ(fs::status(e.path()).permissions(),
                  e.is_directory() ? fs::perms(0555) : fs::perms(0444)) << e.path();
    }
    EXPECT_TRUE(shown == expected);
    EXPECT_EQ(m.unmount(), 0);
}

TEST_F(RealMount, LookupsReadsErrorsAndRefusals) {
    std::string big = testing::incompressible(300000, 9);
    ArchiveBuilder b;
    b.file("Title/Meta/meta.xml", "<menu/>").file("big.bin", big).file("broken.bin", testing::patterned(200000));
    b.editBlock(6, [](std::string& s) { s.resize(s.size() / 2); });  // the last block of broken.bin
    b.writeTo(tmp.dir() / "a.qev");
    Mounted m(tmp.dir() / "a.qev", mnt());
    ASSERT_TRUE(m.mounted());

    EXPECT_EQ(testing::readWholeFile(mnt() / "TITLE/meta/META.XML"), "<menu/>");
    int fd = ::open((mnt() / "broken.bin").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    char buf[4096];
    EXPECT_EQ(::pread(fd, buf, sizeof buf, 0), ssize_t(sizeof buf));
    errno = 0;
    EXPECT_EQ(::pread(fd, buf, sizeof buf, 100000), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(::pread(fd, buf, 1000, 199000), 1000);  // past the damaged block
    ::close(fd);

    // Several readers at once, sequential and random, all getting the right bytes.
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&, t] {
            if (t == 0 && testing::readWholeFile(mnt() / "big.bin") != big) ++wrong;
            int f = ::open((mnt() / "big.bin").c_str(), O_RDONLY);
            std::mt19937 rng(t);
            for (int i = 0; i < 200; ++i) {
                size_t at = rng() % big.size(), n = std::min<size_t>(rng() % 9000, big.size() - at);
                std::string got(n, '\0');
                if (::pread(f, got.data(), n, off_t(at)) != ssize_t(n) || got != big.substr(at, n)) ++wrong;
            }
            ::close(f);
        });
    }
    for (auto& r : readers) r.join();
    EXPECT_EQ(wrong.load(), 0);

    auto fails = [](int rc) { return rc == -1 ? errno : 0; };
    EXPECT_EQ(fails(::open((mnt() / "big.bin").c_str(), O_WRONLY)), EROFS);
    EXPECT_EQ(fails(::open((mnt() / "new").c_str(), O_CREAT | O_WRONLY, 0644)), EROFS);
    EXPECT_EQ(fails(::mkdir((mnt() / "d").c_str(), 0755)), EROFS);
    EXPECT_EQ(fails(::unlink((mnt() / "big.bin").c_str())), EROFS);
    EXPECT_EQ(fails(::rename((mnt() / "big.bin").c_str(), (mnt() / "b").c_str())), EROFS);
    EXPECT_EQ(fails(::chmod((mnt() / "big.bin").c_str(), 0777)), EROFS);
    EXPECT_EQ(m.unmount(), 0);
}

TEST_F(RealMount, ATangledTreeShowsEachDirectoryOnce) {
    testing::writeFile(tmp.dir() / "t.qev", tangledArchive());
    Mounted m(tmp.dir() / "t.qev", mnt());
    ASSERT_TRUE(m.mounted());
    std::vector<std::string> shown;
    for (auto& e : fs::recursive_directory_iterator(mnt())) shown.push_back(fs::relative(e.path(), mnt()));
    std::sort(shown.begin(), shown.end());
    EXPECT_EQ(shown, (std::vector<std::string>{"a", "a/c", "a/x", "b", "b/d", "b/x"}));
    EXPECT_EQ(testing::readWholeFile(mnt() / "b/x"), "shared");
    EXPECT_EQ(m.unmount(), 0);
}

TEST_F(RealMount, BadArchiveMountsNothing) {
    testing::writeFile(tmp.dir() / "bad.qev", std::string(300, 'x'));
    fs::create_directories(mnt());
    std::string cmd = "'" QEV_MOUNT_PATH "' '" + (tmp.dir() / "bad.qev").string() + "' '" + mnt().string() +
                      "' 2> '" + (tmp.dir() / "err").string() + "'";
    EXPECT_EQ(WEXITSTATUS(std::system(cmd.c_str())), 1);
    EXPECT_EQ(testing::readWholeFile(tmp.dir() / "err"), "Error: Failed to open QEV file: " + (tmp.dir() / "bad.qev").string() + "\n");
    struct statfs s;
    ASSERT_EQ(::statfs(mnt().c_str(), &s), 0);
    EXPECT_NE(s.f_type, 0x65735546);
}

}  // namespace
}  // namespace qev
