// The least work opening allows: read the footer, then each of the three tables with one
// read into freshly allocated memory, and touch each page once. No checks, no conversion.
//
//   open_baseline ARCHIVE               reads the tables
//   open_baseline ARCHIVE --table-kib   prints the size of the three tables in KiB
//   open_baseline ARCHIVE --large-pages reads the tables into large pages, as qev-tool does
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/format/format.h"
#include "system/large_pages.h"

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) return 2;
    int fd = ::open(argv[1], O_RDONLY);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) return 1;
    uint8_t bytes[qev::kFooterSize];
    if (::pread(fd, bytes, sizeof bytes, st.st_size - off_t(sizeof bytes)) != ssize_t(sizeof bytes)) return 1;
    qev::ArchiveFooter f = qev::decodeFooter(bytes);
    if (argc == 3 && std::strcmp(argv[2], "--table-kib") == 0) {
        std::printf("%llu\n",
                    (unsigned long long)((f.offsetSection.size + f.nameSection.size + f.treeSection.size) / 1024));
        return 0;
    }
    unsigned sum = 0;
    for (const qev::SectionRange* s : {&f.offsetSection, &f.nameSection, &f.treeSection}) {
        bool large = argc == 3 && s->size >= qev::kLargePageThreshold;
        auto* table = static_cast<uint8_t*>(large ? qev::allocateLargePages(s->size) : std::malloc(s->size + 1));
        if (::pread(fd, table, s->size, off_t(s->offset)) != ssize_t(s->size)) return 1;
        for (uint64_t i = 0; i < s->size; i += 4096) sum += table[i];
    }
    return sum == 0xFFFFFFFF ? 3 : 0;
}
