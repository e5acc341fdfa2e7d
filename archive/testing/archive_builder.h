// Builds whole QEV archives in memory, sound or broken in any chosen way: the one builder
// of fixtures for the tests, the fuzz seeds and the benchmarks.
//
//   std::string bytes = ArchiveBuilder()
//       .dir("0005000010101D00_v64")
//       .file("0005000010101D00_v64/meta/meta.xml", "<menu/>")
//       .editFooter([](ArchiveFooter& f) { f.archiveSize += 1; })
//       .build();
//
// Entries get NodeIds breadth first: the root is 0, each directory's children follow one
// another in the order they were added. File contents are laid one after another in the
// data stream in NodeId order (nothing aligned to blocks), the stream is cut into 64 KiB
// blocks, and each block is compressed or stored raw when compression would not make it
// smaller than 65536 bytes. The file is laid out as: leading bytes, data section, offset
// table, name table, tree, footer.
//
// The edit hooks run in pipeline order (names, tree, both, blocks, records, footer, bytes) on
// host-order values; each sees what the earlier ones produced.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "archive/format/format.h"
#include "archive/read/archive_reader.h"
#include "archive/write/archive_writer.h"

namespace qev::testing {

using writer::directoryEntry;
using writer::encodeFooter;
using writer::encodeName;
using writer::encodeOffsetRecord;
using writer::encodeTreeEntry;
using writer::fileEntry;
using writer::storeBE16;
using writer::storeBE32;
using writer::storeBE64;

class ArchiveBuilder {
public:
    ArchiveBuilder();

    // Adds a directory, and any missing directories above it.
    ArchiveBuilder& dir(std::string_view path);
    // Adds a file, creating the directories above it.
    ArchiveBuilder& file(std::string_view path, std::string contents);
    ArchiveBuilder& compressionLevel(int level);
    // Writes every name with the two-byte length prefix.
    ArchiveBuilder& twoBytePrefixes();
    // Garbage bytes before the data section, so that dataSection.offset is not 0.
    ArchiveBuilder& leadingBytes(size_t count);

    ArchiveBuilder& editNames(std::function<void(std::string& table)> edit);
    ArchiveBuilder& editTree(std::function<void(std::vector<TreeEntry>& entries)> edit);
    // For edits that tie a name to an entry; runs after the name and tree edits.
    ArchiveBuilder& editNamesAndTree(std::function<void(std::string& names, std::vector<TreeEntry>& entries)> edit);
    // Edits the stored bytes of one block; its storedSizes entry follows the new length.
    ArchiveBuilder& editBlock(uint64_t blockIndex, std::function<void(std::string& stored)> edit);
    ArchiveBuilder& editRecords(std::function<void(std::vector<BlockOffsetRecord>& records)> edit);
    ArchiveBuilder& editFooter(std::function<void(ArchiveFooter& footer)> edit);
    ArchiveBuilder& editBytes(std::function<void(std::string& file)> edit);

    // The NodeId the given path will have ("" for the root).
    NodeId node(std::string_view path) const;
    std::string build() const;
    void writeTo(const std::filesystem::path& path) const;

private:
    struct Node {
        std::string name;
        bool isFile = false;
        std::string contents;
        std::vector<size_t> children;  // indices into nodes_
    };
    size_t childNamed(size_t parent, std::string_view name);
    size_t addNode(size_t parent, std::string_view name, bool isFile);
    writer::TreeLayout layOut() const;

    std::vector<Node> nodes_;
    int level_ = 3;
    bool twoByte_ = false;
    size_t leading_ = 0;
    std::vector<std::function<void(std::string&)>> nameEdits_;
    std::vector<std::function<void(std::vector<TreeEntry>&)>> treeEdits_;
    std::vector<std::function<void(std::string&, std::vector<TreeEntry>&)>> jointEdits_;
    std::vector<std::pair<uint64_t, std::function<void(std::string&)>>> blockEdits_;
    std::vector<std::function<void(std::vector<BlockOffsetRecord>&)>> recordEdits_;
    std::vector<std::function<void(ArchiveFooter&)>> footerEdits_;
    std::vector<std::function<void(std::string&)>> byteEdits_;
};

void writeFile(const std::filesystem::path& path, std::string_view bytes);
// One Zstandard frame holding `bytes`.
std::string compressed(std::string_view bytes, int level = 3);

// Bytes that do not compress: a fixed pseudo-random sequence.
std::string incompressible(size_t size, uint32_t seed = 1);
// Bytes that compress well but differ from block to block.
std::string patterned(size_t size, uint32_t seed = 1);

}  // namespace qev::testing
