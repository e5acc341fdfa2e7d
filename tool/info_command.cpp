#include "tool/info_command.h"

#include "shell/json_writer.h"
#include "tool/open_for_command.h"

namespace qev::tool {

std::string summaryJson(const ArchiveIndex& index, std::string_view archivePath) {
    NodeId root = index.findPath("");
    uint32_t count = index.isDirectory(root) ? index.entryCount(root) : 0;
    JsonWriter json;
    json.beginObject();
    json.stringField("path", archivePath);
    json.uintField("totalFiles", count);
    // Stored sizes are not summed: the total is always reported as 0.
    json.uintField("totalSize", 0);
    json.endObject();
    return json.result();
}

int runInfoCommand(const char* archivePath, Console& console) {
    std::unique_ptr<ArchiveReader> reader = openForCommand(archivePath, console);
    if (!reader) return 1;
    return emitResult(console, summaryJson(reader->index(), archivePath) + '\n');
}

}  // namespace qev::tool
