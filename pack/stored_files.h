// The files stored so far that a later file may copy, found by a key made of their size
// and content hash. A flat table: about 32 bytes a file, no allocation per file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qev::pack {

class StoredFiles {
public:
    struct Entry {
        uint64_t key;
        uint64_t start;  // where the file begins in the stream
        uint32_t node;
    };

    // Calls `visit(entry)` for each stored file with `key` until it returns true; returns
    // the entry it stopped at, or null.
    template <typename Visit>
    const Entry* find(uint64_t key, Visit&& visit) const {
        if (slots_.empty()) return nullptr;
        for (size_t i = key & mask(); slots_[i] != 0; i = (i + 1) & mask()) {
            const Entry& e = entries_[slots_[i] - 1];
            if (e.key == key && visit(e)) return &e;
        }
        return nullptr;
    }
    void add(const Entry& entry);

private:
    size_t mask() const { return slots_.size() - 1; }
    void grow();

    std::vector<Entry> entries_;
    std::vector<uint32_t> slots_;  // index into entries_ plus one; 0 is free
};

}  // namespace qev::pack
