// A file that appears whole under its name, or not at all: written under a temporary name
// in its own directory, then renamed into place.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "system/directory.h"
#include "system/file.h"

namespace qev {

class NewFile {
public:
    // Creates `temp` inside `dir` (mode 0666 less the umask), refusing anything already of
    // that name, a link included.
    static Expected<std::unique_ptr<NewFile>, SystemError> create(SharedDir dir, std::string temp);
    // Removes the temporary unless committed.
    ~NewFile();
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;

    // Writes at `offset`; several threads may write different parts at once.
    std::optional<SystemError> writeAt(const uint8_t* data, uint64_t length, uint64_t offset);
    // Copies `length` bytes of `source` from its offset `from` to `at`: without passing
    // through memory, and sharing the filesystem's extents, where the system can.
    std::optional<SystemError> copyFrom(const InputFile& source, uint64_t from, uint64_t length, uint64_t at);
    std::optional<FileIdentity> identity() const;
    // Flushes what was written to the drive.
    std::optional<SystemError> sync();

    struct Commit {
        std::optional<FileTime> time;  // given to the file before it appears
        bool sync = false;             // file and directory flushed to the drive
        bool replace = true;           // an existing file or link of that name is replaced
    };
    // Renames the file to `name`, never following a link of that name. Without `replace`
    // an existing name is refused (nameTaken) even where the filesystem cannot rename
    // without replacing. A directory of that name is in the way.
    std::optional<SystemError> commit(const std::string& name, const Commit& how);

private:
    std::optional<SystemError> copyThroughMemory(const InputFile& source, uint64_t from, uint64_t length, uint64_t at);

    NewFile(SharedDir dir, std::string temp, NativeHandle handle)
        : dir_(std::move(dir)), temp_(std::move(temp)), handle_(handle) {}

    SharedDir dir_;
    std::string temp_;
    NativeHandle handle_;
    bool open_ = true;
    bool committed_ = false;
};

}  // namespace qev
