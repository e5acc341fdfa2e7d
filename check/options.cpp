#include "check/options.h"

#include "console/arguments.h"

namespace qev::check {

Expected<Options, std::string> parseOptions(int argc, const char* const* argv) {
    Options o;
    std::string error = qev::parseOptions(argc, argv, o, [&](std::string_view a) {
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
    if (o.help || o.version) return o;
    if (o.positional.size() != 1) return std::string("Expected one QEV file path (") + kUsage + ")";
    o.archive = o.positional[0];
    return o;
}

}  // namespace qev::check
