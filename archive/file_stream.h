// Opening an archive file as an input stream.
#pragma once

#include <filesystem>
#include <istream>
#include <memory>

namespace qev {

// Opens `path` for reading only, untranslated and shared with other processes. Returns
// null when it does not open or is not something an archive can be read from: a
// directory, a FIFO or a socket (refused without waiting for a writer to appear).
std::unique_ptr<std::istream> openInputFile(const std::filesystem::path& path);

}  // namespace qev
