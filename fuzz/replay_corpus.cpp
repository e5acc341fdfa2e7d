// Replays a kept corpus through the fuzz harnesses, outside the fuzzer: every archive
// through reading, unpacking and checking, every text through the text harness. A broken
// invariant aborts, failing the test that runs this.
//
//   qev_replay_corpus CORPUS_DIR   (holding archive/ and text/)
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz/harness.h"
#include "fuzz/unpack_harness.h"
#ifdef QEV_REPLAY_LIBRARY
#include "fuzz/library_harness.h"
#endif

namespace {

size_t replay(const std::filesystem::path& dir, void (*const* harnesses)(const uint8_t*, size_t), size_t count) {
    size_t inputs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::string bytes(std::istreambuf_iterator<char>(in), {});
        for (size_t h = 0; h < count; ++h) harnesses[h](reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        ++inputs;
    }
    return inputs;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    std::filesystem::path corpus = argv[1];
    void (*const archive[])(const uint8_t*, size_t) = {
        qev::fuzz::exerciseArchive,
        qev::fuzz::exerciseUnpack,
        qev::fuzz::exerciseCheck,
#ifdef QEV_REPLAY_LIBRARY
        qev::fuzz::exerciseLibrary,
#endif
    };
    void (*const text[])(const uint8_t*, size_t) = {qev::fuzz::exerciseText};
    size_t inputs = replay(corpus / "archive", archive, std::size(archive)) + replay(corpus / "text", text, 1);
    std::printf("%zu inputs replayed\n", inputs);
    return inputs > 0 ? 0 : 1;
}
