#include "cli/info_command.h"

#include "console/json_writer.h"
#include "cli/open_for_command.h"

namespace qev::cli {

std::string summaryJson(const ArchiveReader& reader, std::string_view archivePath) {
    NodeId root = reader.findPath("");
    uint32_t count = reader.isDirectory(root) ? reader.entryCount(root) : 0;
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
    return emitResult(console, summaryJson(*reader, archivePath) + '\n');
}

}  // namespace qev::cli
