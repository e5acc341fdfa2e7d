#include "cli/open_for_command.h"

#include "cli/native_path.h"

namespace qev::cli {

std::unique_ptr<ArchiveReader> openForCommand(const char* archivePath, Console& console) {
    std::unique_ptr<ArchiveReader> reader;
    // A path that cannot be converted is never opened.
    if (std::optional<std::filesystem::path> native = toNativePath(archivePath)) {
        reader = openArchive(*native);
    }
    if (!reader) printError(console, kFailedToOpen, archivePath);
    return reader;
}

}  // namespace qev::cli
