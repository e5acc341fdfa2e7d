// Directories worked on through open descriptors (POSIX) or handles (Windows) and names
// relative to them: nothing below a directory so opened is reached by joining path
// strings, and no symbolic link found there is ever followed.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "system/expected.h"
#include "system/file.h"
#include "system/file_time.h"

namespace qev {

#ifdef _WIN32
using NativeHandle = void*;
#else
using NativeHandle = int;
#endif

// A failure: the system's error code (errno, or a Windows error code), or a message of its
// own when `message` is set.
struct SystemError {
    int code = 0;
    std::string message;
    bool nameTaken = false;  // a name that was not to be replaced is taken
    std::string text() const;
};

// Whether every later file written where this failure happened would fail the same way:
// no space, a quota, a read-only filesystem, a permission refused.
bool failsEveryFile(const SystemError& error);

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

// Opens the directory a path names (UTF-8). The path is the user's own choice, so a link
// in it is followed.
Expected<SharedDir, SystemError> openDirectoryPath(const std::string& path);
// Whether the directory holds anything but "." and "..".
bool holdsAnything(const DirHandle& dir);

// Opens an existing directory `name` inside `parent`, refusing a symbolic link.
Expected<SharedDir, SystemError> openDirectory(const DirHandle& parent, std::string_view name);

// Opens the directory `name` inside `parent`, creating it when it is missing. A symbolic
// link or a file in the way is an error (code EEXIST or ERROR_ALREADY_EXISTS), or with
// `force` is removed and replaced: the link itself, never what it points to. (Windows
// never removes a link: Wine cannot be trusted to remove the link rather than its target.)
// `created`, when given, tells whether this call made it.
Expected<SharedDir, SystemError> makeDirectory(const DirHandle& parent, std::string_view name, bool force,
                                               bool* created = nullptr);

// Which directory an open one is.
std::optional<FileIdentity> identityOf(const DirHandle& dir);

// Removes the entry `name` of `dir`: a file, or a link itself, never what it points to.
std::optional<SystemError> removeFile(const DirHandle& dir, std::string_view name);

// The directory above an open one, through its ".." entry: what a walk that holds one
// directory at a time climbs back up by, checking each step against the identity it
// recorded on the way down. Windows has no such entry: there `canOpenParent()` is false
// and a walk keeps the directories above it open instead (handles are not scarce there).
bool canOpenParent();
Expected<SharedDir, SystemError> openParent(const DirHandle& dir);

// The identity of the entry `name` inside `dir` (a link itself, not its target); nothing when
// there is none.
std::optional<FileIdentity> entryIdentity(const DirHandle& dir, std::string_view name);

// Whether names in `dir` ignore letter case, so that "a.txt" and "A.txt" are one file. The
// filesystem is asked where it can tell (FAT and exFAT do; ext4 and f2fs folders may be
// casefolded); elsewhere (FUSE, SMB, NFS) a file named `probe`, lower-case ASCII and a
// name of the caller's own, is made and looked for in upper case. Nothing when that fails.
std::optional<bool> foldsLetterCase(const DirHandle& dir, std::string_view probe);

// Makes everything written to the filesystem holding `dir` durable. Where the system has
// no such call (Windows), `canSyncFilesystem()` is false, and each file is flushed itself.
bool canSyncFilesystem();
std::optional<SystemError> syncFilesystem(const DirHandle& dir);

// Sets the time of the directory `name` inside `parent`, not through a link.
void setDirectoryTime(const DirHandle& parent, std::string_view name, FileTime time);

inline constexpr std::string_view kDirectoryInTheWay = "a directory of that name is in the way";

}  // namespace qev
