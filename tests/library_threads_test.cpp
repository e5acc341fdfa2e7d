// libqev from many threads at once: eight threads read random ranges of one opened archive
// and compare them with the source (run under ThreadSanitizer too).
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "pack/qev_pack.h"
#include "qev/qev.h"
#include "tests/support/test_files.h"
#include "tests/support/tool_run.h"

namespace qev {
namespace {

TEST(LibraryThreads, EightThreadsReadRandomRangesOfOneArchive) {
    testing::TempFile tmp;
    std::filesystem::create_directories(tmp.dir() / "src");
    const std::string source = testing::incompressible(1500000) + std::string(1500000, 'z');
    testing::writeFile(tmp.dir() / "src/big.bin", source);
    std::string archive = (tmp.dir() / "a.qev").string();
    ASSERT_EQ(
        testing::runSeam([](int argc, const char* const* argv, Console& c) { return pack::runPack(argc, argv, c); },
                         {"qev-pack", (tmp.dir() / "src").string(), archive, "-q"})
            .exitCode,
        0);
    qev_archive* a = nullptr;
    ASSERT_EQ(qev_open(archive.c_str(), nullptr, &a, nullptr), QEV_OK);
    qev_entry file = QEV_NO_ENTRY;
    ASSERT_EQ(qev_lookup(a, "big.bin", 7, &file, nullptr), QEV_OK);
    std::vector<int> wrong(8, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937_64 rng(uint64_t(t) + 1);
            std::string piece;
            for (int i = 0; i < 200; ++i) {
                uint64_t at = rng() % source.size(), length = rng() % 200000;
                piece.resize(length);
                size_t done = 0;
                qev_status s = qev_read(a, file, at, piece.data(), length, &done, nullptr);
                size_t expected = size_t(std::min<uint64_t>(length, source.size() - at));
                if (s != QEV_OK || done != expected || piece.compare(0, done, source, at, done) != 0) ++wrong[t];
            }
        });
    }
    for (std::thread& t : threads) t.join();
    for (int t = 0; t < 8; ++t) EXPECT_EQ(wrong[t], 0) << "thread " << t;
    qev_close(a);
}

}  // namespace
}  // namespace qev
