#include "fuzz/harness.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "archive/read/archive_reader.h"
#include "archive/read/tree_shape.h"
#include "archive/testing/stream_archive_file.h"
#include "shell/json_writer.h"
#include "tool/info_command.h"
#include "tool/list_command.h"

namespace qev::fuzz {
namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

// Files above this are only checked for locatability: reading them would drown the
// fuzzer in allocation.
constexpr uint64_t kMaxReadSize = 64ull << 20;
// Pieces are read from the start of a file up to here.
constexpr uint64_t kPieceSpan = 256 * 1024;
constexpr uint32_t kMaxEntries = 1 << 16;
constexpr uint32_t kMaxChildren = 4096;

const char* const kPaths[] = {
    "",
    "/",
    "0005000010101D00_v64",
    "0005000010101D00_v64/meta/meta.xml",
    "0005000010101d00_V64\\META\\Meta.XML",
    "\\0005000010101D00_v64//code/app.xml/",
    "a",
    "A/B",
    "a\\b/c",
    "readme.txt/x",
};

void walkChildren(const ArchiveReader& reader, NodeId dir) {
    uint32_t count = std::min(reader.index().entryCount(dir), kMaxChildren);
    for (uint32_t i = 0; i < count; ++i) {
        DirEntryInfo info;
        bool named = reader.index().entryAt(dir, i, info);
        check(info.isFile != info.isDirectory);
        check(named == !info.name.empty());
        check(info.isFile || info.size == 0);
    }
    DirEntryInfo untouched;
    check(!reader.index().entryAt(dir, reader.index().entryCount(dir), untouched));
}

void readEntry(ArchiveReader& reader, NodeId file) {
    uint64_t size = reader.index().fileSize(file);
    bool locatable = reader.index().fileBlocksLocatable(file);
    if (size > kMaxReadSize) return;
    std::vector<uint8_t> whole(size);
    uint64_t got = reader.readFile(file, 0, size, whole.data());
    check(got == size || got == 0);
    // A file whose blocks cannot all be located can never be read whole.
    check(locatable || size == 0 || got == 0);
    uint8_t byte;
    check(reader.readFile(file, size, 1, &byte) == 0);
    uint64_t span = std::min(size, kPieceSpan);
    std::vector<uint8_t> piece(4093);
    for (uint64_t at = 0; at < span; at += piece.size()) {
        uint64_t n = reader.readFile(file, at, piece.size(), piece.data());
        check(n == 0 || n == std::min<uint64_t>(piece.size(), size - at));
        if (n != 0 && got == size) check(std::memcmp(piece.data(), whole.data() + at, n) == 0);
    }
}

// The same bytes opened with their tables left in them, read through a cache of two pages:
// the same refusal or acceptance, and the same answers.
void compareOnDemand(const ArchiveIndex& whole, const uint8_t* data, size_t size) {
    std::unique_ptr<ArchiveFile> file = std::make_unique<StreamArchiveFile>(
        std::make_unique<std::istringstream>(std::string(reinterpret_cast<const char*>(data), size)));
    auto opened = ArchiveIndex::createOnDemand(file, std::make_shared<SharedCache>(2, ArchiveIndex::kTablePageSize));
    check(bool(opened));
    const ArchiveIndex& lazy = **opened;
    std::string scratch;
    for (NodeId id = 0; id < std::min(whole.treeSize(), kMaxEntries); ++id) {
        check(whole.isFile(id) == lazy.isFile(id) && whole.fileSize(id) == lazy.fileSize(id));
        check(whole.entryCount(id) == lazy.entryCount(id) && whole.childAt(id, 0) == lazy.childAt(id, 0));
        check(lazy.nameOf(id, scratch) == std::optional(whole.heldTables()->name(id)));
    }
    for (uint64_t b = 0; b < std::min<uint64_t>(whole.blockCount(), kMaxEntries); ++b) {
        check(whole.locateBlock(b).has_value() == lazy.locateBlock(b).has_value());
    }
    for (const char* path : kPaths) check(whole.findPath(path) == lazy.findPath(path));
    TreeShape shape = examineTreeShape(lazy);
    check(shape.readable && std::is_sorted(shape.overlapping.begin(), shape.overlapping.end()));
}

}  // namespace

void exerciseArchive(const uint8_t* data, size_t size) {
    std::unique_ptr<std::istream> stream =
        std::make_unique<std::istringstream>(std::string(reinterpret_cast<const char*>(data), size));
    std::unique_ptr<ArchiveReader> reader = openArchiveStream(stream);
    if (!reader) {
        check(stream != nullptr);
        return;
    }
    check(stream == nullptr);
    check(reader->index().isDirectory(0));
    compareOnDemand(reader->index(), data, size);
    (void)tool::titleListJson(reader->index());
    (void)tool::summaryJson(reader->index(), "fuzz.qev");
    for (const char* path : kPaths) {
        NodeId n = reader->index().findPath(path);
        check(n == kInvalidNode || reader->index().isFile(n) || reader->index().isDirectory(n));
    }
    for (NodeId id = 0; id < kMaxEntries && (reader->index().isFile(id) || reader->index().isDirectory(id)); ++id) {
        if (reader->index().isDirectory(id)) {
            walkChildren(*reader, id);
        } else {
            readEntry(*reader, id);
        }
    }
}

void exerciseText(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string escaped = escapeJsonString(text);
    // Nothing below 0x20 survives escaping, and nothing else is lost.
    check(std::none_of(escaped.begin(), escaped.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }));
    check(escaped.size() >= text.size());

    size_t half = size / 2;
    JsonWriter json;
    json.beginObject();
    json.stringField(text.substr(0, half), text.substr(half));
    json.beginArray();
    json.intField(text, int64_t(size) * (size % 2 ? -1 : 1));
    json.uintField(text, size);
    json.endArray();
    json.endObject();
    std::string doc = json.result();
    check(doc.front() == '{' && doc.back() == '}');

    TitleEntry entry;
    if (parseTitleFolderName(text, entry)) {
        check(entry.folderName == text);
        check(entry.titleId == text.substr(0, 16));
        check(entry.version >= 0);
        check(escapeJsonString(entry.folderName) == entry.folderName);
    }
}

}  // namespace qev::fuzz
