// Writes the fuzzers' seed corpora: sound small archives and one of each kind of broken
// archive for the archive target, and names and texts for the text target.
//
//   qev_seed_corpus ARCHIVE_DIR TEXT_DIR
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "archive/testing/archive_builder.h"

namespace {

using qev::ArchiveFooter;
using qev::TreeEntry;
using qev::testing::ArchiveBuilder;

ArchiveBuilder titles() {
    return ArchiveBuilder()
        .dir("0005000010101D00_v64")
        .file("readme.txt", "read me")
        .dir("00050000a1b2c3d4_v0")
        .file("0005000010101D00_v64/meta/meta.xml", "<?xml version=\"1.0\"?><menu/>")
        .file("0005000010101D00_v64/code/app.xml", "<app/>")
        .file("0005000010101D00_v64/content/data.bin", qev::testing::patterned(150000));
}

struct Seed {
    const char* name;
    std::function<void(ArchiveBuilder&)> change;
};

const std::vector<Seed> kSeeds = {
    {"sound", [](ArchiveBuilder&) {}},
    {"two-byte-prefixes", [](ArchiveBuilder& b) { b.twoBytePrefixes(); }},
    {"raw-blocks", [](ArchiveBuilder& b) { b.file("noise.bin", qev::testing::incompressible(70000)); }},
    {"bad-magic", [](ArchiveBuilder& b) { b.editFooter([](ArchiveFooter& f) { f.magic = 0; }); }},
    {"bad-version", [](ArchiveBuilder& b) { b.editFooter([](ArchiveFooter& f) { f.formatVersion++; }); }},
    {"bad-size", [](ArchiveBuilder& b) { b.editFooter([](ArchiveFooter& f) { f.archiveSize++; }); }},
    {"section-past-end", [](ArchiveBuilder& b) { b.editFooter([](ArchiveFooter& f) { f.treeSection.size += 16; }); }},
    {"offsets-39", [](ArchiveBuilder& b) { b.editFooter([](ArchiveFooter& f) { f.offsetSection.size = 39; }); }},
    {"tree-8", [](ArchiveBuilder& b) { b.editFooter([](ArchiveFooter& f) { f.treeSection.size = 8; }); }},
    {"root-is-file", [](ArchiveBuilder& b) { b.editTree([](auto& t) { t[0].words[0] |= qev::kFileFlag; }); }},
    {"children-past-tree", [](ArchiveBuilder& b) { b.editTree([](auto& t) { t[0].words[2] = 0xFFFFFFFF; }); }},
    {"first-child-high", [](ArchiveBuilder& b) { b.editTree([](auto& t) { t[0].words[1] = 0xFFFFFFF0; }); }},
    {"huge-file",
     [](ArchiveBuilder& b) {
         b.editTree([](auto& t) { t[2] = qev::testing::fileEntry(t[2].nameOffset(), 0, (1ull << 48) - 1); });
     }},
    {"base-near-top", [](ArchiveBuilder& b) { b.editRecords([](auto& r) { r[0].base = ~0ull - 100; }); }},
    {"damaged-block", [](ArchiveBuilder& b) { b.editBlock(1, [](std::string& s) { s.resize(s.size() - 5); }); }},
    {"prefix-at-table-end",
     [](ArchiveBuilder& b) {
         b.editNamesAndTree([](std::string& n, std::vector<TreeEntry>& t) {
             t[1].words[0] = uint32_t(n.size());
             n.push_back('\x85');
         });
     }},
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s ARCHIVE_DIR TEXT_DIR\n", argv[0]);
        return 2;
    }
    std::filesystem::path archives = argv[1], texts = argv[2];
    std::filesystem::create_directories(archives);
    std::filesystem::create_directories(texts);
    qev::testing::writeFile(archives / "smallest", ArchiveBuilder().build());
    for (const Seed& seed : kSeeds) {
        ArchiveBuilder b = titles();
        seed.change(b);
        qev::testing::writeFile(archives / seed.name, b.build());
    }
    const char* textSeeds[] = {"0005000010101D00_v64", "00050000a1b2c3d4_v0",      "0005000010101D00_v2147483648",
                               "D:\\Games\\game.qev",  "quote\" back\\ tab\t nul", "caf\xC3\xA9\x01\x1f"};
    int i = 0;
    for (const char* t : textSeeds) qev::testing::writeFile(texts / ("text" + std::to_string(i++)), t);
    return 0;
}
