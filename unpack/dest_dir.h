// The destination, worked on only through directory descriptors: nothing is ever reached
// by joining path strings, and no symbolic link found there is ever followed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "archive/expected.h"

namespace qev::unpack {

// Files being written are named with this prefix until they are complete. A stored name
// that begins with it is not written: it could be taken for, or replace, a temporary.
inline constexpr std::string_view kTemporaryPrefix = ".qev-unpack-";
inline bool isReservedName(std::string_view name) { return name.starts_with(kTemporaryPrefix); }

// An open directory, closed when the last holder lets go.
class DirHandle {
public:
    explicit DirHandle(int fd) : fd_(fd) {}
    ~DirHandle();
    DirHandle(const DirHandle&) = delete;
    DirHandle& operator=(const DirHandle&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};
using SharedDir = std::shared_ptr<const DirHandle>;

// A failure: the errno value, or a message of its own when `message` is set.
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

}  // namespace qev::unpack
