// What qev-pack asks of the operating system: listing a directory, reading a file without
// following a link, and writing the new archive beside its final name. POSIX works with
// descriptors, Windows with handles; names are UTF-8 on both.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qev::pack {

// A failure worth one "Error: " line; the message is the line without that prefix.
struct PackError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// What a file was when it was seen: reading it later must find the same. Times in
// nanoseconds (on Windows, in the system's 100 ns steps); the change time catches a
// rewrite whose modification time was put back. A listing on Windows does not give the
// change time: there it is 0, "not known yet".
struct FileStamp {
    int64_t modified = 0;
    int64_t changed = 0;

    // Whether a file seen now (`now`, all known) may still be the file seen as this.
    bool admits(const FileStamp& now) const { return modified == now.modified && (changed == 0 || changed == now.changed); }
    bool operator==(const FileStamp&) const = default;
};

// Which file an entry is, whatever its name: device and inode, or volume and file index.
struct FileIdentity {
    uint64_t volume = 0;
    uint64_t index = 0;
    bool operator==(const FileIdentity&) const = default;
};

enum class EntryKind : uint8_t {
    kFile,
    kDirectory,
    kLink,
    kSpecial,
    kUnnamable,  // a Windows name that is not valid UTF-16, so has no UTF-8 form
};

struct Listed {
    std::string name;
    EntryKind kind = EntryKind::kSpecial;
    uint64_t size = 0;
    FileStamp stamp;
    std::optional<FileIdentity> identity;  // where the listing gives it cheaply
};

// The entries of one directory, in no particular order, without "." and "..". Symbolic
// links (on Windows, every reparse point) are listed as links, not followed.
std::vector<Listed> listDirectory(const std::filesystem::path& dir);

// The identity of the file at `path`, a link itself rather than its target.
std::optional<FileIdentity> identityOf(const std::filesystem::path& path);

// A source file, opened without following a link in its last component.
class InputFile {
public:
    struct Status {
        bool regular = false;
        uint64_t size = 0;
        FileStamp stamp;
    };

    // Throws PackError ("Cannot read PATH: REASON").
    explicit InputFile(const std::filesystem::path& path);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::optional<Status> status() const;
    // Up to `capacity` bytes; 0 only at the end. Throws PackError.
    size_t readSome(char* into, size_t capacity);

private:
    std::filesystem::path path_;
    intptr_t handle_;
};

// A file made new, refusing anything already at its name (a link included).
class OutputFile {
public:
    enum class Created { kYes, kExists, kFailed };

    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    Created create(const std::filesystem::path& path);
    bool write(std::string_view bytes);
    std::optional<FileIdentity> identity() const;
    // Flushes to the disk and closes; false when either failed.
    bool syncAndClose();
    // Closes without flushing, if still open.
    void close();

private:
    intptr_t handle_ = -1;
};

enum class Moved { kYes, kExists, kFailed };
// Renames `from` to `to` atomically; an existing `to` is replaced only when `replace`.
Moved moveFile(const std::filesystem::path& from, const std::filesystem::path& to, bool replace);
void removeFile(const std::filesystem::path& path);

}  // namespace qev::pack
