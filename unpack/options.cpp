#include "unpack/options.h"

#include "shell/default_names.h"

namespace qev::unpack {

OptionTable optionTable(Options& o) {
    OptionTable table = {
        {'f', "force", {}, "Write into a DEST that holds files, replacing those in the way", setFlag(o.force)},
        {0, "no-sync", {}, "Do not wait for the drive to hold the files before the end", setFlag(o.noSync)},
        {'q', "quiet", {}, "Print errors only", setFlag(o.quiet)},
    };
    for (Option& common : commonOptions(o)) table.push_back(std::move(common));
    return table;
}

std::string takeArguments(Options& o) {
    if (o.positional.empty()) return std::string("Missing QEV file path or destination (") + kUsage + ")";
    o.archive = o.positional[0];
    if (o.positional.size() == 1) {
        // GAMES.qev alone unpacks to the folder GAMES beside it.
        std::optional<std::string> beside = folderBeside(o.archive);
        if (!beside)
            return "Missing destination: the archive's name does not end in .qev (" + std::string(kUsage) + ")";
        o.dest = *beside;
        return "";
    }
    o.dest = o.positional[1];
    o.paths.assign(o.positional.begin() + 2, o.positional.end());
    return "";
}

}  // namespace qev::unpack
