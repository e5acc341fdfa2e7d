#include "tool/list_command.h"

#include <algorithm>

#include "archive/title_name.h"
#include "shell/json_writer.h"
#include "tool/open_for_command.h"

namespace qev::tool {
std::vector<TitleEntry> collectTitles(const ArchiveIndex& index) {
    std::vector<TitleEntry> titles;
    NodeId root = index.findPath("");
    if (!index.isDirectory(root)) return titles;
    uint32_t count = index.entryCount(root);
    for (uint32_t i = 0; i < count; ++i) {
        DirEntryInfo info;
        TitleEntry title;
        if (index.entryAt(root, i, info) && info.isDirectory &&
            parseTitleFolderName(info.name, title)) {
            titles.push_back(std::move(title));
        }
    }
    return titles;
}

std::string titleListJson(const ArchiveIndex& index) {
    // Every name is parsed before any JSON is written.
    std::vector<TitleEntry> titles = collectTitles(index);
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
