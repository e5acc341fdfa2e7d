// The destination, worked on only through open directories (descriptors on POSIX, handles
// on Windows) and names relative to them: nothing below DEST is ever reached by joining
// path strings, and no symbolic link found there is ever followed.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "archive/expected.h"

namespace qev::unpack {

#ifdef _WIN32
using NativeHandle = void*;
#else
using NativeHandle = int;
#endif

// Nanoseconds since 1970-01-01 UTC.
using FileTime = int64_t;

// An open directory, closed when the last holder lets go.
class DirHandle {
public:
    explicit DirHandle(NativeHandle handle) : handle_(handle) {}
    ~DirHandle();
    DirHandle(const DirHandle&) = delete;
    DirHandle& operator=(const DirHandle&) = delete;
    NativeHandle native() const { return handle_; }

private:
    NativeHandle handle_;
};
using SharedDir = std::shared_ptr<const DirHandle>;

// A failure: the system's error number (errno, or a Windows error code), or a message of
// its own when `message` is set.
struct DirError {
    int code = 0;
    std::string message;
    std::string text() const;
};

// Opens DEST, creating it and its parents when it does not exist. Unless `force`, a DEST
// that holds anything is refused before anything is written.
Expected<SharedDir, DirError> openDestination(const std::string& path, bool force);

// Opens the directory `name` inside `parent`, creating it when it is missing. A symbolic
// link or a file in the way is an error, or with `force` is removed and replaced: the link
// itself, never what it points to.
Expected<SharedDir, DirError> makeDirectory(const DirHandle& parent, std::string_view name, bool force);

// Opens an existing directory `name` inside `parent`, refusing a symbolic link.
Expected<SharedDir, DirError> openDirectory(const DirHandle& parent, std::string_view name);

// Sets the time of the directory `name` inside `parent`, not through a link.
void setDirectoryTime(const DirHandle& parent, std::string_view name, FileTime time);

// A file written under a temporary name in its own directory, so that it appears under
// its real name whole or not at all. Removed on destruction unless committed.
class NewFile {
public:
    // Creates `temp` inside `dir`, refusing anything already of that name.
    static Expected<std::unique_ptr<NewFile>, DirError> create(SharedDir dir, std::string temp);
    ~NewFile();
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;

    // Writes at `offset`; several threads may write different parts at once.
    std::optional<DirError> writeAt(const uint8_t* data, uint64_t length, uint64_t offset);
    // Gives the file its time and renames it to `name`, replacing a file or link of that
    // name, never following it. A directory of that name is in the way.
    std::optional<DirError> commit(const std::string& name, FileTime time);

private:
    NewFile(SharedDir dir, std::string temp, NativeHandle handle)
        : dir_(std::move(dir)), temp_(std::move(temp)), handle_(handle) {}

    SharedDir dir_;
    std::string temp_;
    NativeHandle handle_;
    bool open_ = true;
    bool committed_ = false;
};

inline constexpr std::string_view kDirectoryInTheWay = "a directory of that name is in the way";

}  // namespace qev::unpack
