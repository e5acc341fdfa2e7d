// Reading one source file for packing, making sure it is still the file that was listed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "archive/read/archive_reader.h"
#include "pack/pack_error.h"
#include "pack/source_tree.h"
#include "system/file.h"

namespace qev::pack {

class SourceFile {
public:
    // Throws PackError when the file cannot be read, or is no longer the regular file of
    // the listed size and stamp.
    SourceFile(const SourceTree& tree, SourceDirectories& dirs, size_t node);
    ~SourceFile();
    SourceFile(const SourceFile&) = delete;
    SourceFile& operator=(const SourceFile&) = delete;

    // Up to `capacity` bytes, fewer only at the end of the file; throws on a read error.
    size_t read(char* into, size_t capacity);
    // Throws "File changed while packing" unless exactly the listed bytes were read and
    // the file did not change meanwhile.
    void finish();

private:
    void unchangedOrThrow(bool same) const;

    const SourceTree& tree_;
    size_t node_;
    std::unique_ptr<InputFile> input_;
    uint64_t size_;
    FileStamp opened_;  // as found once open, every field known
    uint64_t read_ = 0;
};

// A 64-bit hash of a byte stream, fed piece by piece.
class ContentHash {
public:
    void update(std::string_view bytes);
    uint64_t value() const;

private:
    uint64_t state_ = 0x9E3779B97F4A7C15ull;
    uint64_t length_ = 0;
    std::string pending_;  // fewer than 8 bytes waiting for a whole word
};

// What identical files are looked up by: their size and content hash mixed.
inline uint64_t contentKey(uint64_t size, uint64_t hash) { return hash ^ (size * 0x9E3779B97F4A7C15ull); }

// The ContentHash of a source file's bytes, read through `buffer`; throws as SourceFile does.
uint64_t hashSourceFile(const SourceTree& tree, SourceDirectories& dirs, size_t node, std::vector<char>& buffer);

// The same of a file kept from an update's old archive, read through `reader` (each block
// checked as the reader checks it). A file that cannot be read whole hashes as what could
// be: the bytes compared afterwards decide, and the reader refuses them there too.
uint64_t hashArchiveFile(ArchiveReader& reader, NodeId entry, uint64_t size, std::vector<char>& buffer);

}  // namespace qev::pack
