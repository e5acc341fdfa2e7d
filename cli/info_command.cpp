#include "cli/info_command.h"

#include "cli/json_writer.h"
#include "cli/open_for_command.h"

namespace qev::cli {

int runInfoCommand(const char* archivePath, Console& console) {
    std::unique_ptr<ArchiveReader> reader = openForCommand(archivePath, console);
    if (!reader) return 1;
    NodeId root = reader->findPath("");
    uint32_t count = reader->isDirectory(root) ? reader->entryCount(root) : 0;
    JsonWriter json;
    json.beginObject();
    json.stringField("path", archivePath);
    json.uintField("totalFiles", count);
    // Stored sizes are not summed: the total is always reported as 0.
    json.uintField("totalSize", 0);
    json.endObject();
    return emitResult(console, json.result() + '\n');
}

}  // namespace qev::cli
