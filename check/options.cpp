#include "check/options.h"

namespace qev::check {

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
    if (o.positional.size() != 1) return std::string("Expected one QEV file path (") + kUsage + ")";
    o.archive = o.positional[0];
    if (o.repair && (o.list || !o.against.empty())) return "--repair cannot be combined with --list or --against";
    return "";
}

}  // namespace qev::check
