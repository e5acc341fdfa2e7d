#include "check/options.h"

#include "console/arguments.h"

namespace qev::check {

Expected<Options, std::string> parseOptions(int argc, const char* const* argv) {
    Options o;
    CommonOptions common;
    std::string error = qev::parseOptions(argc, argv, common, [&](std::string_view a) {
        if (a == "--quick") {
            o.quick = true;
        } else if (a == "--list") {
            o.list = true;
        } else if (a == "--json") {
            o.json = true;
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
    if (common.positional.size() != 1) return std::string("Expected one QEV file path (") + kUsage + ")";
    o.archive = common.positional[0];
    return o;
}

}  // namespace qev::check
