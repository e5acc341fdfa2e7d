#include "tool/list_command.h"

#include <algorithm>

#include "archive/read/title_name.h"
#include "shell/json_writer.h"
#include "tool/open_for_command.h"

namespace qev::tool {
std::string titleListJson(const ArchiveIndex& index) {
    // Every name is parsed before any JSON is written.
    std::vector<TitleEntry> titles = rootTitles(index);
    JsonWriter json;
    json.beginArray();
    for (const TitleEntry& t : titles) {
        json.beginObject();
        json.stringField("folderName", t.folderName);
        json.stringField("titleId", t.titleId);
        json.intField("version", t.version);
        json.endObject();
    }
    json.endArray();
    return json.result();
}

int runListCommand(const char* archivePath, Console& console) {
    std::unique_ptr<ArchiveReader> reader = openForCommand(archivePath, console);
    if (!reader) return 1;
    return emitResult(console, titleListJson(reader->index()) + '\n');
}

}  // namespace qev::tool
