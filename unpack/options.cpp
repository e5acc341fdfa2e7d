#include "unpack/options.h"

#include "console/arguments.h"

namespace qev::unpack {

Expected<Options, std::string> parseOptions(int argc, const char* const* argv) {
    Options o;
    CommonOptions common;
    std::string error = qev::parseOptions(argc, argv, common, [&](std::string_view a) {
        if (a == "-f" || a == "--force") {
            o.force = true;
        } else if (a == "-q" || a == "--quiet") {
            o.quiet = true;
        } else {
            return false;
        }
        return true;
    });
    if (!error.empty()) return error;
    o.jobs = common.jobs;
    o.progress = common.progress;
    o.help = common.help;
    o.version = common.version;
    if (o.help || o.version) return o;
    if (common.positional.size() < 2) return std::string("Missing QEV file path or destination (") + kUsage + ")";
    o.archive = common.positional[0];
    o.dest = common.positional[1];
    o.paths.assign(common.positional.begin() + 2, common.positional.end());
    return o;
}

}  // namespace qev::unpack
