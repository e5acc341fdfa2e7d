// Makes the benchmark inputs.
//
//   make_data tree DIR SOURCE FILES FOLDERS [MAX]
//                                             files cut from SOURCE, in title folders, of
//                                             1 to 31 KiB (or 1 to MAX bytes);
//                                             DIR/<first folder>/target.bin is 4 KiB
//   make_data wide OUT ENTRIES                an archive whose tree holds ENTRIES entries
//                                             (title folders of empty files) and ~16 bytes
//                                             of name table per entry
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "archive/write/archive_writer.h"

namespace {

std::string titleName(unsigned i) {
    char name[32];
    std::snprintf(name, sizeof name, "00050000%08X_v%u", 0x10000000u + i, i % 100);
    return name;
}

int makeTree(const std::filesystem::path& dir, const char* sourcePath, unsigned files, unsigned folders,
             unsigned maxSize) {
    std::ifstream in(sourcePath, std::ios::binary);
    std::string source(std::istreambuf_iterator<char>(in), {});
    if (source.size() < (1u << 20)) return 1;
    std::mt19937_64 rng(7);
    size_t at = 0;
    auto slice = [&](size_t n) {
        if (at + n > source.size()) at = 0;
        std::string s = source.substr(at, n);
        at += n;
        return s;
    };
    for (unsigned i = 0; i < files; ++i) {
        std::filesystem::path folder = dir / titleName(i % folders) / (i % 3 ? "content" : "code");
        std::filesystem::create_directories(folder);
        std::ofstream(folder / ("file-" + std::to_string(i) + ".bin"), std::ios::binary)
            << slice(maxSize != 0 ? 1 + rng() % maxSize : 1024 + rng() % (30 * 1024));
    }
    std::ofstream(dir / titleName(0) / "target.bin", std::ios::binary) << slice(4096);
    return 0;
}

int makeWide(const char* out, unsigned entries) {
    using qev::writer::WriterNode;
    const unsigned folders = 1000;
    std::vector<WriterNode> nodes(1);
    unsigned perFolder = (entries - 1) / folders - 1;
    for (unsigned f = 0; f < folders; ++f) {
        nodes.push_back({titleName(f), false, 0, {}});
        size_t folder = nodes.size() - 1;
        nodes[0].children.push_back(folder);
        for (unsigned i = 0; i < perFolder; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "f%05u-%04u.bin", i, f);
            nodes.push_back({name, true, 0, {}});
            nodes[folder].children.push_back(nodes.size() - 1);
        }
    }
    qev::writer::TreeLayout layout = qev::writer::layOutTree(nodes);
    auto records = qev::writer::offsetRecordsFor({});
    std::ofstream file(out, std::ios::binary);
    file << qev::writer::encodeTables(records, layout.names, layout.entries)
         << qev::writer::encodeFooter(
                qev::writer::footerFor(0, 0, records.size(), layout.names.size(), layout.entries.size()));
    std::printf("%zu entries, name table %zu bytes\n", layout.entries.size(), layout.names.size());
    return file ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "tree" && (argc == 6 || argc == 7)) {
        unsigned maxSize = argc == 7 ? unsigned(std::stoul(argv[6])) : 0;
        return makeTree(argv[2], argv[3], unsigned(std::stoul(argv[4])), unsigned(std::stoul(argv[5])), maxSize);
    }
    if (mode == "wide" && argc == 4) return makeWide(argv[2], unsigned(std::stoul(argv[3])));
    std::fprintf(stderr, "usage: make_data tree DIR SOURCE FILES FOLDERS [MAX] | wide OUT ENTRIES\n");
    return 2;
}
