// Files opened for reading, what a file is (its status and identity), and the listing of a
// directory. POSIX works with descriptors, Windows with handles; names are UTF-8 on both.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "system/expected.h"
#include "system/file_time.h"

namespace qev {

class DirHandle;

// Which file an entry is, whatever its name: device and inode, or volume and file index.
struct FileIdentity {
    uint64_t volume = 0;
    uint64_t index = 0;
    bool operator==(const FileIdentity&) const = default;
};

enum class FileKind : uint8_t {
    kFile,
    kDirectory,
    kLink,       // on Windows, every reparse point
    kSpecial,    // a device, FIFO or socket
    kUnnamable,  // a Windows name that is not valid UTF-16, so has no UTF-8 form
};

// What a file is now. The change time catches a rewrite whose modification time was put
// back; where the system does not give it, it is 0, "not known".
struct FileStatus {
    FileKind kind = FileKind::kSpecial;
    uint64_t size = 0;
    FileTime modified = 0;
    FileTime changed = 0;
    FileTime accessed = 0;
    FileIdentity identity;
    uint64_t links = 1;  // names the file has; 0 once it is removed or replaced by a rename
};

// Whether a file seen as `now` still holds what it held when seen as `then`: writes move
// the modification and change times, truncation the size.
inline bool sameContents(const FileStatus& then, const FileStatus& now) {
    return then.size == now.size && then.modified == now.modified && then.changed == now.changed;
}

// The same for a file held open: losing its last name (a rename put another file in its
// place) moves its change time and nothing it holds.
inline bool sameOpenContents(const FileStatus& then, const FileStatus& now) {
    bool unlinked = now.links == 0 && then.links != 0;
    return sameContents(then, now) || (unlinked && then.size == now.size && then.modified == now.modified);
}

// A file open for reading only, shared with other processes (which may still write, rename
// or delete it).
class InputFile {
public:
    // The file at a path the user named (a link in it is followed). Null when it does not
    // open or is a directory, FIFO or socket (refused without waiting for a writer), the
    // reason then being the last system error. Files inside a tree: openFileIn.
    static std::unique_ptr<InputFile> open(const std::filesystem::path& path);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // Reads exactly `count` bytes at `offset`; false on a short read or an error. Safe to
    // call from several threads at once: the offset travels with each call.
    bool readAt(uint64_t offset, uint8_t* destination, uint32_t count) const;
    // Reads on from where the last call ended: up to `capacity` bytes, 0 only at the end;
    // nothing on an error.
    std::optional<size_t> readSome(char* into, size_t capacity);
    // The size now (block devices included), or nothing.
    std::optional<uint64_t> size() const;
    std::optional<FileStatus> status() const;

protected:
    explicit InputFile(intptr_t handle) : handle_(handle) {}
    intptr_t handle_;

private:
    friend std::unique_ptr<InputFile> openFileIn(const DirHandle& dir, std::string_view name);
    friend class NewFile;  // copies from it without passing through memory
};

// An existing regular file opened to be mended where it lies: the reads of an InputFile,
// positioned writes, and a sync that makes them durable. A link in the path the user named
// is followed, as for reading.
class FileInPlace : public InputFile {
public:
    // Null when it does not open for writing or is not a regular file, the reason then
    // being the last system error.
    static std::unique_ptr<FileInPlace> open(const std::filesystem::path& path);
    // False on an error, the reason then being the last system error.
    bool writeAt(uint64_t offset, const uint8_t* data, uint32_t count);
    bool sync();

private:
    using InputFile::InputFile;
};

// The status of the entry at `path`, a link itself rather than its target.
std::optional<FileStatus> linkStatus(const std::filesystem::path& path);

struct ListedEntry {
    std::string name;
    FileKind kind = FileKind::kSpecial;
    uint64_t size = 0;  // of a file; 0 for anything else
    FileTime modified = 0;
    FileTime changed = 0;                  // 0 where the listing does not give it (Windows)
    std::optional<FileIdentity> identity;  // where the listing gives it cheaply
};

// Where listing failed: the entry (empty for the directory itself), and the system's reason.
struct ListFailure {
    std::string name;
    std::string reason;
};

// The entries of an open directory, in no particular order, without "." and "..". Links
// are listed as links, never followed.
Expected<std::vector<ListedEntry>, ListFailure> listDirectory(const DirHandle& dir);

// Opens the file `name` inside `dir` for reading, never through a link, and never waiting
// for the writer of a FIFO; null when it does not open, the reason then being the last
// system error.
std::unique_ptr<InputFile> openFileIn(const DirHandle& dir, std::string_view name);

}  // namespace qev
