// What a new stream already holds, so that a file with the same bytes is stored once: the
// files written so far, of every folder the run stores, and in an update the files kept
// from the old archive. Found by size and content hash in a flat table (about 32 bytes a
// file, no allocation per file); a hash match never decides alone: the bytes are compared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "archive/read/archive_reader.h"
#include "pack/source_tree.h"

namespace qev::pack {

class StoredBytes {
public:
    // `kept`: the old archive's reader in an update (whose kept files and written files of
    // every size are then remembered), null when packing.
    explicit StoredBytes(ArchiveReader* kept = nullptr, std::function<uint64_t(uint64_t)> hashHook = {});

    // A folder whose files the stream stores; its number names them below.
    uint32_t addFolder(const SourceTree& tree, SourceDirectories& dirs);
    // A kept file of the old archive, starting at `start` of the new stream.
    void addKept(NodeId entry, uint64_t size, uint64_t start);
    // File `node` of `folder`, written at `start`; its hash when it was taken.
    void addWritten(uint32_t folder, size_t node, uint64_t size, std::optional<uint64_t> hash, uint64_t start);

    // Whether a file of this size is held that another folder's file may copy.
    bool holdsSize(uint64_t size) const { return sizes_.count(size) != 0; }
    // Where the stream holds the bytes of file `node` of `folder` (of content hash `hash`;
    // `inMemory`, when not empty, holds them), if it does.
    std::optional<uint64_t> find(uint32_t folder, size_t node, uint64_t size, uint64_t hash, std::string_view inMemory);

    // The content hash of a file's bytes, as the table keys it (through the test hook).
    uint64_t keyHash(uint64_t hash) const { return hashHook_ ? hashHook_(hash) : hash; }

private:
    static constexpr uint32_t kKept = 0xFFFFFFFF;  // the folder of a kept file
    struct Entry {
        uint64_t key;    // size and hash mixed
        uint64_t start;  // where its bytes begin in the stream
        uint64_t node;   // its node in its folder, or the kept entry
        uint32_t folder;
    };
    struct Folder {
        const SourceTree* tree;
        SourceDirectories* dirs;
    };
    void add(const Entry& entry);
    void grow();
    void hashPending(uint64_t size);
    uint64_t hashOf(uint32_t folder, uint64_t node, uint64_t size);
    bool same(const Entry& stored, uint32_t folder, size_t node, uint64_t size, std::string_view inMemory);
    size_t mask() const { return slots_.size() - 1; }

    // Files not hashed yet, at most a few of each size: hashed when a file of their size
    // is looked for, so that an update reads a kept file only when it may be copied.
    static constexpr size_t kPendingPerSize = 8;
    ArchiveReader* kept_;
    std::function<uint64_t(uint64_t)> hashHook_;
    std::vector<Folder> folders_;
    std::vector<Entry> entries_;
    std::vector<uint32_t> slots_;  // index into entries_ plus one; 0 is free
    std::unordered_map<uint64_t, std::vector<Entry>> pending_;
    std::unordered_map<uint64_t, uint32_t> sizes_;  // sizes held, in an update
    std::vector<char> mine_, theirs_;
};

}  // namespace qev::pack
