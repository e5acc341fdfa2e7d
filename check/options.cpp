#include "check/options.h"

#include <algorithm>
#include <optional>

#include "shell/default_names.h"
#include "system/directory.h"

namespace qev::check {
namespace {

// The *.qev files directly in `path`, in name order; nothing when it is no folder.
std::optional<std::vector<std::string>> archivesIn(const std::string& path) {
    auto dir = openDirectoryPath(path);
    if (!dir) return std::nullopt;
    auto listed = listDirectory(**dir);
    if (!listed) return std::nullopt;
    std::vector<std::string> archives;
    std::string prefix = path.empty() || path.back() == '/' || path.back() == '\\' ? path : path + "/";
    for (const ListedEntry& e : *listed) {
        if (e.kind == FileKind::kFile && folderBeside(e.name)) archives.push_back(prefix + e.name);
    }
    std::sort(archives.begin(), archives.end());
    return archives;
}

}  // namespace

OptionTable optionTable(Options& o) {
    OptionTable table = {
        {0, "quick", {}, "Check the structure only, not the data", setFlag(o.quick)},
        {0, "list", {}, "Print every entry instead of the summary; checks no data", setFlag(o.list)},
        {0, "json", {}, "Write the summary (or the list) as JSON", setFlag(o.json)},
        {0,
         "repair",
         {},
         "Rebuild damaged bytes from the recovery record and write them back in place",
         setFlag(o.repair)},
        {0, "against", "DIR", "Compare every file with the folder DIR, byte for byte, instead of the data check",
         [&o](std::string_view value) {
             o.against = value;
             return std::string();
         }},
    };
    for (Option& common : commonOptions(o)) table.push_back(std::move(common));
    return table;
}

std::string takeArguments(Options& o) {
    if (o.positional.empty()) return std::string("Expected a QEV file path (") + kUsage + ")";
    o.archive = o.positional[0];
    if (o.repair && (o.list || !o.against.empty())) return "--repair cannot be combined with --list or --against";
    for (const std::string& named : o.positional) {
        // A folder stands for the archives directly in it, in name order.
        std::optional<std::vector<std::string>> inside = archivesIn(named);
        if (!inside) {
            o.archives.push_back(named);
        } else {
            o.archives.insert(o.archives.end(), inside->begin(), inside->end());
        }
    }
    bool one = o.positional.size() == 1 && o.archives.size() == 1 && o.archives[0] == o.archive;
    if (!one && (o.list || !o.against.empty())) return "--list and --against take one archive";
    return "";
}

}  // namespace qev::check
