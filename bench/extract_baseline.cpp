// The least work this design allows for extracting one file: read each stored block with
// one call, decompress it with one reused context straight into one fresh buffer, and
// write the buffer with one call. The archive's tables are read with the project's reader;
// everything after that is done here by hand.
//
//   extract_baseline ARCHIVE PATH [--large-pages] > out
// With --large-pages the buffer comes in large pages, as qev-tool's does.
#include <fcntl.h>
#include <unistd.h>
#include <zstd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "archive/read/archive_reader.h"
#include "system/large_pages.h"

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) return 2;
    bool largePages = argc == 4 && std::strcmp(argv[3], "--large-pages") == 0;
    auto reader = qev::openArchive(argv[1]);
    if (!reader) return 1;
    qev::NodeId node = reader->index().findPath(argv[2]);
    if (!reader->index().isFile(node)) return 1;
    uint64_t size = reader->index().fileSize(node);
    // readFile is not used for the data: blocks are located and decompressed here.
    int fd = ::open(argv[1], O_RDONLY);
    uint8_t* out = largePages ? static_cast<uint8_t*>(qev::allocateLargePages(size)) : new uint8_t[size];
    std::vector<uint8_t> stored(qev::kBlockSize), block(qev::kBlockSize);
    ZSTD_DCtx* dctx = ZSTD_createDCtx();
    uint64_t start = reader->index().fileStart(node);
    uint64_t done = 0;
    for (uint64_t b = start / qev::kBlockSize; done < size; ++b) {
        auto at = reader->index().locateBlock(b);
        if (!at) return 1;
        uint64_t within = done == 0 ? start % qev::kBlockSize : 0;
        uint64_t n = std::min<uint64_t>(qev::kBlockSize - within, size - done);
        // Whole blocks go straight into the output; only partial ones pass a scratch block.
        uint8_t* target = (within == 0 && n == qev::kBlockSize) ? out + done : block.data();
        bool raw = at->storedLength == qev::kBlockSize;
        uint8_t* into = raw ? target : stored.data();
        if (::pread(fd, into, at->storedLength, off_t(at->fileOffset)) != ssize_t(at->storedLength)) return 1;
        if (!raw &&
            ZSTD_decompressDCtx(dctx, target, qev::kBlockSize, stored.data(), at->storedLength) != qev::kBlockSize) {
            return 1;
        }
        if (target == block.data()) std::memcpy(out + done, block.data() + within, n);
        done += n;
    }
    for (uint64_t w = 0; w < size;) {
        ssize_t n = ::write(1, out + w, size - w);
        if (n <= 0) return 1;
        w += uint64_t(n);
    }
    ZSTD_freeDCtx(dctx);
    return 0;
}
