#include "tool/open_for_command.h"

#include "system/text.h"

namespace qev::tool {

std::unique_ptr<ArchiveReader> openForCommand(const char* archivePath, Console& console) {
    std::unique_ptr<ArchiveReader> reader;
    // A path that cannot be converted is never opened.
    if (std::optional<std::filesystem::path> native = pathFromNarrowArgument(archivePath)) {
        reader = openArchive(*native);
    }
    if (!reader) printError(console, kFailedToOpen, archivePath);
    return reader;
}

}  // namespace qev::tool
