// One opened archive behind many readers: sharing, threads, and change detection.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "archive/read/archive_reader.h"
#include "archive/read/reader_workers.h"
#include "shell/program.h"
#include "tests/support/test_files.h"

namespace qev {
namespace {

using testing::ArchiveBuilder;

TEST(SharedArchive, FurtherReadersShareTheTablesAndTheFile) {
    auto first = testing::openBytes(ArchiveBuilder().file("a", "abc").build());
    ASSERT_NE(first, nullptr);
    std::unique_ptr<ArchiveReader> second = first->makeReader();
    EXPECT_EQ(&second->index(), &first->index());
    EXPECT_EQ(&second->index().file(), &first->index().file());
    EXPECT_EQ(first->sharedIndex().use_count(), 2);
    // The archive outlives the reader that opened it.
    first.reset();
    uint8_t out[3];
    EXPECT_EQ(second->readFile(1, 0, 3, out), 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 3), "abc");
}

#ifndef QEV_SANITIZED
size_t heapInUse() {
    struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

TEST(SharedArchive, AFurtherReaderCostsItsCacheNotTheTables) {
    // 32 MiB of names: a copy of the tables would show at once.
    auto reader = testing::openBytes(
        ArchiveBuilder().file("a", "x").editNames([](std::string& n) { n.append(32 << 20, 'n'); }).build());
    ASSERT_GT(reader->index().tableBytes(), uint64_t(32) << 20);
    size_t before = heapInUse();
    std::unique_ptr<ArchiveReader> more = reader->makeReader();
    size_t cost = heapInUse() - before;
    // The 4 MiB of cache slots, the staging buffer and a decompression context.
    EXPECT_GT(cost, size_t(4) << 20);
    EXPECT_LT(cost, size_t(6) << 20);
}
#endif

TEST(SharedArchive, ThreadsWithReadersOfTheirOwnReadOverlappingFiles) {
    ArchiveBuilder b;
    std::vector<std::string> contents;
    for (int i = 0; i < 6; ++i) {
        contents.push_back(testing::patterned(300000 + 1000 * i, uint32_t(i + 1)));
        b.file("f" + std::to_string(i), contents.back());
    }
    testing::TempFile tmp;
    b.writeTo(tmp.path());
    auto opened = ArchiveIndex::open(tmp.path());
    ASSERT_TRUE(opened);
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            ArchiveReader reader(*opened);
            std::vector<uint8_t> buf(70000);
            for (int round = 0; round < 40; ++round) {
                int f = (t + round) % 6;
                uint64_t at = uint64_t(round * 7919 % 200000);
                uint64_t got = reader.readFile(NodeId(f + 1), at, buf.size(), buf.data());
                if (got != buf.size() || std::string(buf.begin(), buf.end()) != contents[f].substr(at, got)) {
                    ++wrong[t];
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

void setModified(const std::filesystem::path& path, const struct timespec& when) {
    struct timespec times[2] = {when, when};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// A worker that throws stops the others and ends the program with one error line, never
// through std::terminate.
TEST(SharedArchive, ThreadsWorkerFailureBecomesOneErrorLine) {
    auto reader = testing::openBytes(ArchiveBuilder().file("a", "abc").build());
    ASSERT_NE(reader, nullptr);
    std::ostringstream out, err;
    Console console{out, err};
    CommonOptions common;
    const char* argv[] = {"qev-x"};
    int code = runProgram({"qev-x", "Usage: qev-x"}, 1, argv, console, commonOptions(common), common, [&] {
        std::atomic<int> started{0};
        ReaderWorkers workers(reader->sharedIndex(), 4, [&](ArchiveReader&) {
            if (started++ == 2) throw std::bad_alloc();
            while (!workers.failed()) std::this_thread::yield();
        });
        workers.join();
        return 0;
    });
    EXPECT_EQ(code, 1);
    EXPECT_EQ(err.str(), "Error: Out of memory\n");
}

TEST(SharedArchive, ReadsFailAfterASameSizeRewriteWithItsTimePutBack) {
    testing::TempFile tmp;
    ArchiveBuilder().file("a", testing::patterned(1000)).writeTo(tmp.path());
    struct stat before;
    ASSERT_EQ(::stat(tmp.path().c_str(), &before), 0);
    auto reader = openArchive(tmp.path());
    ASSERT_NE(reader, nullptr);
    uint8_t buf[1000];
    ASSERT_EQ(reader->readFile(1, 0, 1000, buf), 1000u);

    // Same bytes written back in place, then the modification time restored: only the
    // change time tells.
    std::string bytes = testing::readWholeFile(tmp.path());
    int fd = ::open(tmp.path().c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, bytes.data(), 1, 0), 1);
    ::close(fd);
    setModified(tmp.path(), before.st_mtim);
    struct stat after;
    ASSERT_EQ(::stat(tmp.path().c_str(), &after), 0);
    ASSERT_EQ(after.st_size, before.st_size);
    ASSERT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(reader->readFile(1, 0, 1000, buf), 0u);
    EXPECT_EQ(reader->makeReader()->readFile(1, 0, 1000, buf), 0u);
}

}  // namespace
}  // namespace qev
