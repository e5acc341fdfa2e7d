#include "check/options.h"

#include <string_view>

#include "console/arguments.h"
#include <vector>

namespace qev::check {

Expected<Options, std::string> parseOptions(int argc, const char* const* argv) {
    Options o;
    std::vector<std::string> positional;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        if (optionsEnded || a == "-" || !a.starts_with("-")) {
            positional.emplace_back(a);
        } else if (a == "--") {
            optionsEnded = true;
        } else if (a == "--quick") {
            o.quick = true;
        } else if (a == "--list") {
            o.list = true;
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--progress" || a == "--no-progress") {
            o.progress = a == "--progress";
        } else if (a == "-h" || a == "--help") {
            o.help = true;
        } else if (a == "--version") {
            o.version = true;
        } else if (std::string error; takeJobsOption(argc, argv, i, o.jobs, error)) {
            if (!error.empty()) return error;
        } else {
            return "Unknown option: " + std::string(a);
        }
    }
    if (o.help || o.version) return o;
    if (positional.size() != 1) return std::string("Expected one QEV file path (") + kUsage + ")";
    o.archive = positional[0];
    return o;
}

}  // namespace qev::check
