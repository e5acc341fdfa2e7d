// qev-mount: the mount's own logic in process, then real mounts through FUSE.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "archive/read/shared_cache.h"
#include "archive/records/integrity_record.h"
#include "archive/write/archive_writer.h"
#include "mount/mount_tree.h"
#include "mount/run_mount.h"
#include "tests/support/test_files.h"
#include "tests/support/tool_run.h"

extern char** environ;

namespace qev {
namespace {

namespace fs = std::filesystem;
using testing::ArchiveBuilder;

// A mount served in process: the archives written to files, as qev-mount finds them.
struct InProcess {
    explicit InProcess(std::vector<mount::Source> sources, bool ignoreCase = false, unsigned readers = 1)
        : collection(std::move(sources), {2, false, ignoreCase}, pages, blocks,
                     [this](const std::string& line) { warnings.push_back(line); }),
          tree(collection, blocks, {{}, 42, 43, readers, ignoreCase, 1 << 20}) {
        if (auto error = collection.start()) ADD_FAILURE() << *error;
    }
    static std::vector<mount::Source> archive(const fs::path& p) { return {{p.string(), p.string(), false}}; }
    // The inode a path names, or 0.
    uint64_t inode(const std::string& path) {
        uint64_t at = mount::kRootInode;
        std::stringstream parts(path);
        for (std::string part; std::getline(parts, part, '/');) {
            auto found = tree.lookup(at, part);
            if (!found) return 0;
            at = found->st_ino;
        }
        return at;
    }
    std::vector<std::string> listing(uint64_t inode, int* error = nullptr) {
        std::vector<std::string> names;
        auto dir = tree.openDirectory(inode);
        if (!dir) {
            if (error) *error = dir.error();
            return names;
        }
        int e = tree.list(**dir, 2, [&](const std::string& n, const struct stat&, uint64_t) {
            names.push_back(n);
            return true;
        });
        if (error) *error = e;
        return names;
    }
    std::string read(const std::string& path, uint64_t at = 0, size_t n = 1 << 20) {
        auto file = tree.openFile(inode(path));
        if (!file) return "<" + std::to_string(file.error()) + ">";
        std::string got(n, '\0');
        long r = tree.read(**file, at, n, got.data());
        return r < 0 ? "<" + std::to_string(-r) + ">" : got.substr(0, size_t(r));
    }

    std::shared_ptr<SharedCache> pages = std::make_shared<SharedCache>(4, ArchiveIndex::kTablePageSize);
    SharedCache blocks{2, kBlockSize};
    std::vector<std::string> warnings;
    mount::Collection collection;
    mount::MountTree tree;
};

TEST(MountTree, LookupsExactOrIgnoringCaseAndWhatListingsHide) {
    testing::TempFile tmp;
    ArchiveBuilder b;
    b.file("Code", "1").file("code", "2").file("CODE", "3").file("code", "dup").file("a/b", "4").file("..", "5");
    b.writeTo(tmp.path());
    InProcess exact(InProcess::archive(tmp.path()));
    EXPECT_EQ(exact.read("code"), "2");
    EXPECT_EQ(exact.inode("cOdE"), 0u);
    EXPECT_EQ(exact.inode(".."), 0u);
    // The second "code" is a later exact repeat, ".." no name at all: neither is listed.
    EXPECT_EQ(exact.listing(mount::kRootInode), (std::vector<std::string>{"Code", "code", "CODE", "a"}));
    EXPECT_EQ(exact.read("a/b"), "4");
    EXPECT_EQ(exact.tree.lookup(exact.inode("Code"), "x").error(), ENOTDIR);

    // Ignoring case, a listed spelling still opens itself; another finds the first as stored.
    InProcess folded(InProcess::archive(tmp.path()), true);
    EXPECT_EQ(folded.read("code"), "2");
    EXPECT_EQ(folded.read("CODE"), "3");
    EXPECT_EQ(folded.read("cOdE"), "1");
    EXPECT_EQ(folded.read("A/B"), "4");
    EXPECT_EQ(folded.listing(mount::kRootInode), (std::vector<std::string>{"Code", "code", "CODE", "a"}));

    struct stat file = *exact.tree.attributes(exact.inode("Code")), dir = *exact.tree.attributes(exact.inode("a"));
    EXPECT_EQ(file.st_mode, S_IFREG | 0444);
    EXPECT_EQ(dir.st_mode, S_IFDIR | 0555);
    EXPECT_EQ(file.st_ino, uint64_t(1) << 32 | 2);  // the archive's number, then its NodeId plus one
    EXPECT_EQ(file.st_size, 1);
    EXPECT_EQ(file.st_uid, 42u);
}

TEST(MountTree, LargeSizesAndFailedReads) {
    testing::TempFile tmp;
    ArchiveBuilder b;
    b.file("huge", "x").file("broken", testing::patterned(70000));
    b.editTree([](auto& t) { t[1] = testing::fileEntry(t[1].nameOffset(), 0, uint64_t(5) << 32); });
    b.editBlock(1, [](std::string& s) { s.resize(s.size() - 4); });
    b.writeTo(tmp.path());
    InProcess m(InProcess::archive(tmp.path()), false, 2);
    EXPECT_EQ(m.tree.attributes(m.inode("huge"))->st_size, off_t(5) << 32);
    EXPECT_EQ(m.read("broken", 69990, 16), "<5>");  // crosses into the damaged block: EIO
    for (int i = 0; i < 4; ++i) EXPECT_EQ(m.read("broken", 0, 16), testing::patterned(16));
    EXPECT_EQ(m.read("broken", 70000, 16), "");
    EXPECT_EQ(m.read("broken", 69990, 16), "<5>");
    // Said once, where the mount's warnings go.
    EXPECT_EQ(m.warnings, std::vector<std::string>{"Cannot read all of " + tmp.path().string() +
                                                   ": a block is damaged or missing (qev-check " + tmp.path().string() +
                                                   " says which)"});
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

TEST(MountTree, DirectoriesWhoseChildrenOthersClaimShowNone) {
    testing::TempFile tmp;
    testing::writeFile(tmp.path(), tangledArchive());
    InProcess m(InProcess::archive(tmp.path()));
    EXPECT_EQ(m.listing(mount::kRootInode), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(m.listing(m.inode("a")), (std::vector<std::string>{"c", "x"}));
    // c would hold a again, and b the children of a: each is refused, not shown twice.
    int error = 0;
    EXPECT_TRUE(m.listing(m.inode("a/c"), &error).empty());
    EXPECT_EQ(error, EIO);
    EXPECT_TRUE(m.listing(m.inode("b"), &error).empty());
    EXPECT_EQ(error, EIO);
    EXPECT_EQ(m.tree.lookup(m.inode("b"), "x").error(), EIO);
    EXPECT_EQ(m.read("a/x"), "shared");
}

TEST(MountTree, ReadersShareOneArchiveWhateverTheTablesWeigh) {
    testing::TempFile tmp;
    std::string big = testing::patterned(400000);
    ArchiveBuilder().file("big", big).editNames([](std::string& n) { n.append(65 << 20, 'n'); }).writeTo(tmp.path());
    InProcess m(InProcess::archive(tmp.path()), false, 4);
    auto file = m.tree.openFile(m.inode("big"));
    ASSERT_TRUE(file);
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::vector<char> buf(100000);
            for (int i = 0; i < 20; ++i) {
                size_t at = size_t((t * 20 + i) * 3001 % 300000);
                if (m.tree.read(**file, at, buf.size(), buf.data()) != long(buf.size()) ||
                    std::string(buf.begin(), buf.end()) != big.substr(at, buf.size())) {
                    ++wrong;
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(MountTree, AFolderOfArchivesUnderOneRoot) {
    testing::TempFile tmp;
    fs::path folder = tmp.dir() / "titles";
    fs::create_directories(folder);
    auto title = [](const std::string& name, const std::string& text) {
        return ArchiveBuilder().file(name + "/meta/meta.xml", text);
    };
    title("0005000010101D00_v64", "one").writeTo(folder / "a.qev");
    title("00050000A1B2C3D4_v0", "two").file("0005000010101D00_v64/x", "hidden").writeTo(folder / "b.qev");
    testing::writeFile(folder / "c.qev", std::string(300, 'x'));  // not an archive: fails alone
    testing::writeFile(folder / "notes.txt", "not an archive's name");
    InProcess m({{folder.string(), folder.string(), true}}, true);
    EXPECT_EQ(m.listing(mount::kRootInode), (std::vector<std::string>{"0005000010101D00_v64", "00050000A1B2C3D4_v0"}));
    EXPECT_EQ(m.read("0005000010101d00_V64/META/meta.xml"), "one");
    EXPECT_EQ(m.inode("0005000010101D00_v64/x"), 0u);  // the name is a.qev's
    ASSERT_EQ(m.warnings.size(), 2u);
    EXPECT_EQ(m.warnings[0], "0005000010101D00_v64 is in both " + (folder / "a.qev").string() + " and " +
                                 (folder / "b.qev").string() + "; the one in " + (folder / "a.qev").string() +
                                 " is shown");
    EXPECT_EQ(m.warnings[1].rfind("Skipped " + (folder / "c.qev").string() + ": it cannot be opened: ", 0), 0u)
        << m.warnings[1];

    // Added, replaced and removed while mounted; a file open before keeps what it opened.
    auto open = m.tree.openFile(m.inode("00050000A1B2C3D4_v0/meta/meta.xml"));
    ASSERT_TRUE(open);
    uint64_t before = m.inode("00050000A1B2C3D4_v0");
    title("00050000CAFE0000_v1", "three").writeTo(folder / "d.qev");
    title("00050000A1B2C3D4_v0", "two, updated").file("0005000010101D00_v64/x", "hidden").writeTo(folder / "b.new");
    fs::rename(folder / "b.new", folder / "b.qev");
    fs::remove(folder / "a.qev");
    // Folder times have a coarse clock on some filesystems: make the change visible.
    fs::last_write_time(folder, fs::last_write_time(folder) + std::chrono::seconds(2));
    EXPECT_EQ(m.listing(mount::kRootInode),  // b.qev's in its stored order, then d.qev's
              (std::vector<std::string>{"00050000A1B2C3D4_v0", "0005000010101D00_v64", "00050000CAFE0000_v1"}));
    EXPECT_EQ(m.read("00050000A1B2C3D4_v0/meta/meta.xml"), "two, updated");
    EXPECT_NE(m.inode("00050000A1B2C3D4_v0"), before);
    EXPECT_EQ(m.read("0005000010101D00_v64/x"), "hidden");  // now b.qev's
    EXPECT_EQ(m.read("00050000CAFE0000_v1/meta/meta.xml"), "three");
    std::string old(3, '\0');
    EXPECT_EQ(m.tree.read(**open, 0, 3, old.data()), 3);
    EXPECT_EQ(old, "two");
    EXPECT_EQ(m.tree.attributes(before).error(), ESTALE);  // two archives held: the old one is let go
    EXPECT_LE(m.collection.openCount(), 2u);

    // A title an update adds to an archive is found by its first lookup, before any listing,
    // though the folder's time says nothing changed.
    auto unchanged = fs::last_write_time(folder);
    title("00050000A1B2C3D4_v0", "two, updated")
        .file("0005000010101D00_v64/x", "hidden")
        .file("00050000BEEF0000_v2/meta/meta.xml", "four")
        .writeTo(folder / "b.new");
    fs::rename(folder / "b.new", folder / "b.qev");
    fs::last_write_time(folder, unchanged);
    EXPECT_EQ(m.read("00050000BEEF0000_v2/meta/meta.xml"), "four");
    EXPECT_EQ(m.inode("00050000FFFF0000_v0"), 0u);  // a name no archive holds

    // Out of descriptors: the archives held for speed are let go, and no archive is skipped.
    // d.qev is replaced with the folder's time kept, so only the archive needs opening.
    auto folderTime = fs::last_write_time(folder);
    title("00050000CAFE0000_v1", "three, again").writeTo(folder / "d.new");
    fs::rename(folder / "d.new", folder / "d.qev");
    fs::last_write_time(folder, folderTime);
    size_t warned = m.warnings.size();
    struct rlimit was {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &was), 0);
    struct rlimit tight = was;
    tight.rlim_cur = rlim_t(std::distance(fs::directory_iterator("/proc/self/fd"), {}) + 8);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::vector<int> fillers;  // every descriptor left taken
    for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;) fillers.push_back(fd);
    std::vector<std::string> listed = m.listing(mount::kRootInode);
    for (int fd : fillers) ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &was);
    EXPECT_NE(std::find(listed.begin(), listed.end(), "00050000CAFE0000_v1"), listed.end());
    EXPECT_EQ(m.warnings.size(), warned);
    EXPECT_EQ(m.read("00050000CAFE0000_v1/meta/meta.xml"), "three, again");
}

testing::ToolRun runMountInProcess(std::vector<std::string> args) {
    args.insert(args.begin(), "qev-mount");
    return testing::runSeam(mount::runMount, args);
}

TEST(RunMount, ArgumentsAndOpeningInProcess) {
    testing::ToolRun none = runMountInProcess({});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_EQ(none.err, "Error: Missing QEV file path or mount point\n");
    EXPECT_EQ(none.out, "Usage: qev-mount [OPTIONS] SOURCE... MOUNTPOINT\n");
    EXPECT_EQ(runMountInProcess({"only.qev"}).err, "Error: Missing QEV file path or mount point\n");
    // What is wrong with the mount point, each in a line of its own, before anything opens.
    testing::TempFile spot;
    testing::writeFile(spot.path(), "a file");
    EXPECT_EQ(
        runMountInProcess({"a.qev", (spot.dir() / "none").string()}).err,
        "Error: The mount point does not exist (make it with mkdir first): " + (spot.dir() / "none").string() + "\n");
    EXPECT_EQ(runMountInProcess({"a.qev", spot.path().string()}).err,
              "Error: The mount point is not a folder: " + spot.path().string() + "\n");
    EXPECT_EQ(runMountInProcess({"a.qev", "/proc"}).err,
              "Error: Something is mounted at /proc already (fusermount3 -u /proc unmounts it)\n");

    testing::TempFile tmp;
    testing::writeFile(tmp.path(), std::string(300, 'x'));
    testing::ToolRun bad = runMountInProcess({tmp.path().string(), tmp.dir().string()});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_EQ(bad.err, "Error: Failed to open QEV file: " + tmp.path().string() +
                           ": the footer's magic number is wrong: not a QEV archive\n");

    // Nothing proves the blocks of an archive whose integrity record is damaged: not mounted.
    fs::create_directories(tmp.dir() / "src/t");
    testing::writeFile(tmp.dir() / "src/t/a", "a");
    std::string archive = (tmp.dir() / "a.qev").string();
    ASSERT_EQ(std::system(("'" QEV_PACK_PATH "' '" + (tmp.dir() / "src").string() + "' '" + archive + "' -q").c_str()),
              0);
    std::string bytes = testing::readWholeFile(archive);
    bytes[decodeFooter(reinterpret_cast<const uint8_t*>(bytes.data()) + bytes.size() - kFooterSize).auxSection1.offset +
          kIntegrityHeaderSize] ^= 1;
    testing::writeFile(archive, bytes);
    testing::ToolRun unproven = runMountInProcess({archive, tmp.dir().string()});
    EXPECT_EQ(unproven.exitCode, 1);
    EXPECT_NE(unproven.err.find("Error: Not mounted: " + archive + ": the integrity record is damaged"),
              std::string::npos)
        << unproven.err;
    // With a recovery record to prove the blocks instead, it is mounted, saying so.
    ASSERT_EQ(std::system(("'" QEV_PACK_PATH "' '" + (tmp.dir() / "src").string() + "' '" + archive +
                           "' -q --force --recovery 5")
                              .c_str()),
              0);
    bytes = testing::readWholeFile(archive);
    bytes[decodeFooter(reinterpret_cast<const uint8_t*>(bytes.data()) + bytes.size() - kFooterSize).auxSection1.offset +
          kIntegrityHeaderSize] ^= 1;
    testing::writeFile(archive, bytes);
    InProcess proven(InProcess::archive(archive));
    EXPECT_EQ(proven.read("t/a"), "a");
    EXPECT_EQ(proven.warnings,
              std::vector<std::string>{
                  "The integrity record is damaged; the recovery record proves the blocks instead: " + archive});

    testing::ToolRun help = runMountInProcess({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("-o unproven"), std::string::npos);
    EXPECT_TRUE(help.out.starts_with("Usage: qev-mount [OPTIONS] SOURCE... MOUNTPOINT\n")) << help.out;
    EXPECT_EQ(runMountInProcess({"-o", "cache_size=lots", "a.qev", "mnt"}).err,
              "Error: Invalid arguments (Usage: qev-mount [OPTIONS] SOURCE... MOUNTPOINT)\n");
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
    Mounted(const fs::path& archive, const fs::path& dir, const char* options = "ro") : dir_(dir) {
        fs::create_directories(dir);
        std::string a = archive.string(), d = dir.string();
        const char* argv[] = {QEV_MOUNT_PATH, a.c_str(), d.c_str(), "-f", "-o", options, nullptr};
        if (posix_spawn(&pid_, QEV_MOUNT_PATH, nullptr, nullptr, const_cast<char**>(argv), environ) != 0) pid_ = -1;
        for (int i = 0; i < 500 && pid_ > 0 && !mounted(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ~Mounted() { unmount(); }
    pid_t pid() const { return pid_; }
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
        EXPECT_EQ(fs::status(e.path()).permissions(), e.is_directory() ? fs::perms(0555) : fs::perms(0444)) << e.path();
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
    Mounted m(tmp.dir() / "a.qev", mnt(), "ignore_case");
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
    std::error_code ec;
    for (const char* dir : {"", "a", "a/c", "b"}) {
        for (auto it = fs::directory_iterator(mnt() / dir, ec); !ec && it != fs::directory_iterator();
             it.increment(ec)) {
            shown.push_back(fs::relative(it->path(), mnt()));
        }
        if (ec) shown.push_back(std::string(dir) + ": " + std::to_string(ec.value()));
        ec.clear();
    }
    EXPECT_EQ(shown, (std::vector<std::string>{"a", "b", "a/c", "a/x", "a/c: 5", "b: 5"}));
    EXPECT_EQ(testing::readWholeFile(mnt() / "a/x"), "shared");
    EXPECT_EQ(m.unmount(), 0);
}

TEST_F(RealMount, AFolderOfArchivesLettersInAnyCaseAndChangesWhileMounted) {
    fs::path folder = tmp.dir() / "titles";
    fs::create_directories(folder);
    fs::copy_file(fs::path(QEV_SOURCE_DIR) / "examples/sample.qev", folder / "sample.qev");
    ArchiveBuilder().file("00050000CAFE0000_v1/content/Data.bin", "cafe").writeTo(folder / "cafe.qev");
    ArchiveBuilder().file("00050000BEEF0000_v2/meta/meta.xml", "beef").writeTo(folder / "beef.qev");
    testing::writeFile(folder / "broken.qev", std::string(500, 'q'));
    Mounted m(folder, mnt(), "ignore_case,max_open=2");
    ASSERT_TRUE(m.mounted());
    auto descriptors = [&] {
        return std::distance(fs::directory_iterator("/proc/" + std::to_string(m.pid()) + "/fd"), {});
    };
    auto before = descriptors();  // nothing in the folder is opened before it is used
    auto root = [&] {
        std::vector<std::string> names;
        for (auto& e : fs::directory_iterator(mnt())) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    };
    EXPECT_EQ(root(), (std::vector<std::string>{"0005000010101D00_v64", "00050000A1B2C3D4_v0", "00050000BEEF0000_v2",
                                                "00050000CAFE0000_v1", "README.txt"}));
    EXPECT_EQ(testing::readWholeFile(mnt() / "00050000cafe0000_V1/CONTENT/data.BIN"), "cafe");
    EXPECT_EQ(testing::readWholeFile(mnt() / "0005000010101D00_v64/meta/meta.xml"),
              testing::readWholeFile(fs::path(QEV_SOURCE_DIR) / "examples/sample/0005000010101D00_v64/meta/meta.xml"));
    // Three archives read, two held open: the descriptors stay bounded.
    EXPECT_LE(descriptors(), before + 2);

    int held = ::open((mnt() / "00050000BEEF0000_v2/meta/meta.xml").c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    ArchiveBuilder().file("00050000BEEF0000_v2/meta/meta.xml", "beef, updated").writeTo(folder / "beef.new");
    fs::rename(folder / "beef.new", folder / "beef.qev");
    fs::remove(folder / "cafe.qev");
    ArchiveBuilder().file("00050000D00D0000_v0/x", "new").writeTo(folder / "new.qev");
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // the kernel keeps root entries a second
    EXPECT_EQ(root(), (std::vector<std::string>{"0005000010101D00_v64", "00050000A1B2C3D4_v0", "00050000BEEF0000_v2",
                                                "00050000D00D0000_v0", "README.txt"}));
    EXPECT_EQ(testing::readWholeFile(mnt() / "00050000BEEF0000_v2/meta/meta.xml"), "beef, updated");
    EXPECT_EQ(testing::readWholeFile(mnt() / "00050000d00d0000_v0/X"), "new");
    char old[16] = {};
    EXPECT_EQ(::pread(held, old, sizeof old, 0), 4);  // what was opened, from the file replaced
    EXPECT_EQ(std::string(old), "beef");
    ::close(held);
    EXPECT_EQ(m.unmount(), 0);
}

// The mount's memory does not grow with the tree: a walk of a million entries stays within
// a few megabytes beyond the process itself.
TEST_F(RealMount, AMillionEntriesInBoundedMemory) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's shadow memory is no measure of the mount's";
#endif
    std::vector<writer::WriterNode> nodes(1);
    for (unsigned f = 0; f < 1000; ++f) {
        nodes.push_back({"folder" + std::to_string(f), false, 0, {}});
        size_t folder = nodes.size() - 1;
        nodes[0].children.push_back(folder);
        for (unsigned i = 0; i < 999; ++i) {
            nodes.push_back({"entry-" + std::to_string(f) + "-" + std::to_string(i) + ".bin", true, 0, {}});
            nodes[folder].children.push_back(nodes.size() - 1);
        }
    }
    writer::TreeLayout layout = writer::layOutTree(nodes);
    auto records = writer::offsetRecordsFor({});
    testing::writeFile(
        tmp.dir() / "wide.qev",
        writer::encodeTables(records, layout.names, layout.entries) +
            writer::encodeFooter(writer::footerFor(0, 0, records.size(), layout.names.size(), layout.entries.size())));
    ASSERT_EQ(layout.entries.size(), 1000001u);
    Mounted m(tmp.dir() / "wide.qev", mnt());
    ASSERT_TRUE(m.mounted());
    size_t seen = 0;
    for (auto it = fs::recursive_directory_iterator(mnt()); it != fs::recursive_directory_iterator(); ++it) ++seen;
    EXPECT_EQ(seen, 1000000u);
    std::ifstream status("/proc/" + std::to_string(m.pid()) + "/status");
    long peakKiB = -1;
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmHWM:")) peakKiB = std::stol(line.substr(6));
    }
    // The tables alone are 31 MB; the whole process stays below 12 MB.
    EXPECT_GT(peakKiB, 0);
    EXPECT_LT(peakKiB, 12 * 1024);
    EXPECT_EQ(m.unmount(), 0);
}

// A mount whose program died leaves a folder nothing can use: mounting there says how to
// clear it.
TEST_F(RealMount, AMountWhoseProgramDiedSaysHowToClearIt) {
    std::string archive = (tmp.dir() / "a.qev").string();
    ArchiveBuilder().file("t/a", "a").writeTo(archive);
    Mounted m(archive, mnt());
    ASSERT_TRUE(m.mounted());
    ::kill(m.pid(), SIGKILL);
    ::waitpid(m.pid(), nullptr, 0);
    testing::ToolRun again = runMountInProcess({archive, mnt().string()});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_EQ(again.err, "Error: The mount at " + mnt().string() +
                             " lost its program: unmount it with fusermount3 -u " + mnt().string() +
                             ", then mount again\n");
    std::system(("fusermount3 -u '" + mnt().string() + "' 2>/dev/null").c_str());
}

// Run as a daemon, its standard error goes nowhere once it detaches: what its first look at
// the sources finds is on the terminal before that.
TEST_F(RealMount, TheFirstWarningsAreSeenBeforeItDetaches) {
    fs::path folder = tmp.dir() / "titles";
    fs::create_directories(folder);
    ArchiveBuilder().file("0005000010101D00_v64/meta/meta.xml", "one").writeTo(folder / "a.qev");
    testing::writeFile(folder / "b.qev", std::string(300, 'x'));
    fs::create_directories(mnt());
    std::string err = (tmp.dir() / "err").string();
    std::string cmd = "'" QEV_MOUNT_PATH "' '" + folder.string() + "' '" + mnt().string() + "' 2> '" + err + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(testing::readWholeFile(mnt() / "0005000010101D00_v64/meta/meta.xml"), "one");
    std::system(("fusermount3 -u '" + mnt().string() + "'").c_str());
    EXPECT_EQ(testing::readWholeFile(err).rfind(
                  "Warning: Skipped " + (folder / "b.qev").string() + ": it cannot be opened: ", 0),
              0u)
        << testing::readWholeFile(err);
}

TEST_F(RealMount, BadArchiveMountsNothing) {
    testing::writeFile(tmp.dir() / "bad.qev", std::string(300, 'x'));
    fs::create_directories(mnt());
    std::string cmd = "'" QEV_MOUNT_PATH "' '" + (tmp.dir() / "bad.qev").string() + "' '" + mnt().string() + "' 2> '" +
                      (tmp.dir() / "err").string() + "'";
    EXPECT_EQ(WEXITSTATUS(std::system(cmd.c_str())), 1);
    EXPECT_EQ(testing::readWholeFile(tmp.dir() / "err"),
              "Error: Failed to open QEV file: " + (tmp.dir() / "bad.qev").string() +
                  ": the footer's magic number is wrong: not a QEV archive\n");
    struct statfs s;
    ASSERT_EQ(::statfs(mnt().c_str(), &s), 0);
    EXPECT_NE(s.f_type, 0x65735546);
}

}  // namespace
}  // namespace qev
