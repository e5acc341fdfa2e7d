// qev-pack at scale: job counts, identical files, block placement and faults in the source.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/read/archive_reader.h"
#include "pack/qev_pack.h"
#include "tests/support/test_files.h"
#include "tests/support/tool_run.h"

namespace qev {
namespace {

namespace fs = std::filesystem;

class PackScale : public ::testing::Test {
protected:
    fs::path make(const std::string& relative, const std::string& contents) {
        fs::path p = src() / relative;
        fs::create_directories(p.parent_path());
        testing::writeFile(p, contents);
        return p;
    }
    fs::path src() const { return tmp.dir() / "src"; }
    std::string out(const std::string& name = "out.qev") const { return (tmp.dir() / name).string(); }
    testing::ToolRun pack(std::vector<std::string> args, const pack::PackHooks& hooks = {}) {
        args.insert(args.begin(), "qev-pack");
        return testing::runSeam(
            [&](int argc, const char* const* argv, Console& c) { return pack::runPack(argc, argv, c, hooks); }, args);
    }
    // Every file of the archive read back whole, by path.
    static std::string contentOf(ArchiveReader& r, const std::string& path) {
        NodeId n = r.index().findPath(path);
        std::string bytes(r.index().fileSize(n), '\0');
        if (!bytes.empty()) {
            EXPECT_EQ(r.readFile(n, 0, bytes.size(), reinterpret_cast<uint8_t*>(bytes.data())), bytes.size());
        }
        return bytes;
    }
    testing::TempFile tmp;
};

TEST_F(PackScale, EveryJobCountGivesTheSameBytes) {
    for (int i = 0; i < 30; ++i)
        make("d" + std::to_string(i % 4) + "/f" + std::to_string(i), testing::patterned(9000 * i + 1, i));
    make("big.bin", testing::incompressible(700000));
    for (const char* jobs : {"1", "2", "8"}) {
        ASSERT_EQ(pack({src().string(), out(std::string("j") + jobs + ".qev"), "-j", jobs, "-q"}).exitCode, 0);
    }
    std::string one = testing::readWholeFile(out("j1.qev"));
    EXPECT_TRUE(one == testing::readWholeFile(out("j2.qev")));
    EXPECT_TRUE(one == testing::readWholeFile(out("j8.qev")));
}

TEST_F(PackScale, SmallFilesNeverStraddleABlockAndLargeOnesStartOnOne) {
    for (int i = 0; i < 40; ++i) make("f" + std::to_string(100 + i), testing::patterned(3000 + 1700 * i, i));
    make("large", testing::patterned(200000));
    ASSERT_EQ(pack({src().string(), out(), "-q"}).exitCode, 0);
    auto r = openArchive(out());
    for (uint32_t i = 0; i < r->index().entryCount(0); ++i) {
        NodeId n = r->index().childAt(0, i);
        uint64_t start = r->index().fileStart(n), size = r->index().fileSize(n);
        if (size <= 65536) {
            EXPECT_LE(start % 65536 + size, 65536u) << r->index().heldTables()->name(n);
        } else {
            EXPECT_EQ(start % 65536, 0u) << r->index().heldTables()->name(n);
        }
        EXPECT_TRUE(contentOf(*r, std::string(r->index().heldTables()->name(n))) ==
                    testing::readWholeFile(src() / r->index().heldTables()->name(n)));
    }
}

TEST_F(PackScale, IdenticalFilesAreStoredOnce) {
    std::string big = testing::incompressible(300000, 5);
    make("a/big", big);
    make("b/big copy", big);
    make("a/prefix", big.substr(0, 299999) + "x");  // same size and prefix, other last byte
    make("a/small", "same bytes");
    make("b/small", "same bytes");
    make("a/empty", "");
    make("b/empty", "");
    testing::ToolRun r = pack({src().string(), out()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("293.0 KiB saved by identical files"), std::string::npos) << r.out;
    auto reader = openArchive(out());
    EXPECT_EQ(reader->index().fileStart(reader->index().findPath("a/big")),
              reader->index().fileStart(reader->index().findPath("b/big copy")));
    EXPECT_NE(reader->index().fileStart(reader->index().findPath("a/big")),
              reader->index().fileStart(reader->index().findPath("a/prefix")));
    EXPECT_EQ(reader->index().fileStart(reader->index().findPath("a/small")),
              reader->index().fileStart(reader->index().findPath("b/small")));
    for (const char* p : {"a/big", "b/big copy", "a/prefix", "a/small", "b/small", "a/empty", "b/empty"}) {
        EXPECT_TRUE(contentOf(*reader, p) == testing::readWholeFile(src() / p)) << p;
    }
    // Without deduplication every file has its own bytes.
    ASSERT_EQ(pack({src().string(), out("plain.qev"), "--no-dedup", "-q"}).exitCode, 0);
    auto plain = openArchive(out("plain.qev"));
    EXPECT_NE(plain->index().fileStart(plain->index().findPath("a/big")),
              plain->index().fileStart(plain->index().findPath("b/big copy")));
    EXPECT_GT(fs::file_size(out("plain.qev")), fs::file_size(out()) + 250000);
}

TEST_F(PackScale, EqualHashesWithDifferentBytesAreStillStoredApart) {
    make("one", std::string(5000, 'a'));
    make("two", std::string(5000, 'b'));
    make("three", std::string(2000000, 'c'));
    make("four", std::string(2000000, 'd'));
    pack::PackHooks hooks;
    hooks.hashOf = [](uint64_t) { return uint64_t(42); };  // every file collides
    ASSERT_EQ(pack({src().string(), out(), "-q"}, hooks).exitCode, 0);
    auto r = openArchive(out());
    for (const char* p : {"one", "two", "three", "four"}) {
        EXPECT_TRUE(contentOf(*r, p) == testing::readWholeFile(src() / p)) << p;
    }
}

TEST_F(PackScale, AFileChangedWhilePackingFailsTheArchive) {
    make("a", testing::patterned(200000));
    make("b", testing::patterned(200000));
    fs::path later = make("z", "short");
    pack::PackHooks hooks;
    // a and b may be copies, so a is hashed when it is read: then z grows, before its turn.
    hooks.hashOf = [&](uint64_t hash) {
        testing::writeFile(later, "longer than before");
        return hash;
    };
    testing::ToolRun r = pack({src().string(), out()}, hooks);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err,
              testing::noTitlesWarning(src().string()) + "Error: File changed while packing: " + later.string() + "\n");
    EXPECT_FALSE(fs::exists(out()));
    std::vector<fs::path> left(fs::directory_iterator(tmp.dir()), {});
    EXPECT_EQ(left.size(), 1u);  // the source alone
}

TEST_F(PackScale, AFileSizeLimitFailsWithOneLineAndNoTemporary) {
    make("big", testing::incompressible(3 << 20));
    struct rlimit old;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit limited = {1 << 20, old.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    testing::ToolRun r = pack({src().string(), out()});
    ::setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err,
              testing::noTitlesWarning(src().string()) + "Error: Failed to write " + out() + ": File too large\n");
    std::vector<fs::path> left(fs::directory_iterator(tmp.dir()), {});
    EXPECT_EQ(left.size(), 1u);
}

TEST_F(PackScale, UnreadableFilesFailTheArchive) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every file whatever its permissions";
    fs::path locked = make("locked", "secret");
    fs::permissions(locked, fs::perms::none);
    testing::ToolRun r = pack({src().string(), out()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Error: Cannot read " + locked.string() + ": Permission denied\n");
}

TEST_F(PackScale, TheOutputInsideTheSourceIsNotPackedIntoItself) {
    make("f", "x");
    std::string inside = (src() / "self.qev").string();
    ASSERT_EQ(pack({src().string(), inside, "-q"}).exitCode, 0);
    // Packed again over itself: neither the old archive nor the temporary goes in.
    ASSERT_EQ(pack({src().string(), inside, "--force", "-q"}).exitCode, 0);
    auto r = openArchive(inside);
    EXPECT_EQ(r->index().entryCount(0), 1u);
    EXPECT_EQ(r->index().heldTables()->name(r->index().childAt(0, 0)), "f");
}

TEST_F(PackScale, NamesQevToolCannotReachAsTheyStandAreWarnedOf) {
    make("Code/a", "1");
    make("code/b", "2");
    make("back\\slash", "3");
    testing::ToolRun r = pack({src().string(), out()});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "Warning: Name holds a backslash, which qev-tool reads as a separator: " +
                         (src() / "back\\slash").string() +
                         "\nWarning: Name differs from a sibling's only in letter case, qev-tool finds the first: " +
                         (src() / "code").string() + "\n" + testing::noTitlesWarning(src().string()));
    EXPECT_EQ(pack({src().string(), out("quiet.qev"), "-q"}).err, "");
}

}  // namespace
}  // namespace qev
