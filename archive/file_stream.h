// Opening an archive file as an input stream.
#pragma once

#include <filesystem>
#include <istream>
#include <memory>

namespace qev {

// An input stream over a file on disk, which can tell whether another process has changed
// the file since it was opened: bytes read after that cannot be trusted to belong to the
// archive that was validated.
class FileStream : public std::istream {
public:
    using std::istream::istream;
    virtual bool changedSinceOpen() const = 0;
};

// Opens `path` for reading only, untranslated and shared with other processes. Returns
// null when it does not open or is not something an archive can be read from: a
// directory, a FIFO or a socket (refused without waiting for a writer to appear).
std::unique_ptr<FileStream> openInputFile(const std::filesystem::path& path);

}  // namespace qev
