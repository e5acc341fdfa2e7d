#include "unpack/options.h"

#include "console/arguments.h"

namespace qev::unpack {

Expected<Options, std::string> parseOptions(int argc, const char* const* argv) {
    Options o;
    std::string error = qev::parseOptions(argc, argv, o, [&](std::string_view a) {
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
    if (o.help || o.version) return o;
    if (o.positional.size() < 2) return std::string("Missing QEV file path or destination (") + kUsage + ")";
    o.archive = o.positional[0];
    o.dest = o.positional[1];
    o.paths.assign(o.positional.begin() + 2, o.positional.end());
    return o;
}

}  // namespace qev::unpack
