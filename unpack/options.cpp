#include "unpack/options.h"

#include <string_view>

namespace qev::unpack {
namespace {

std::optional<unsigned> parseJobs(std::string_view text) {
    unsigned value = 0;
    if (text.empty() || text.size() > 4) return std::nullopt;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + unsigned(c - '0');
    }
    if (value == 0 || value > 1024) return std::nullopt;
    return value;
}

}  // namespace

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
        } else if (a == "-f" || a == "--force") {
            o.force = true;
        } else if (a == "-q" || a == "--quiet") {
            o.quiet = true;
        } else if (a == "--progress" || a == "--no-progress") {
            o.progress = a == "--progress";
        } else if (a == "-h" || a == "--help") {
            o.help = true;
        } else if (a == "--version") {
            o.version = true;
        } else if (a == "-j" || a == "--jobs" || a.starts_with("--jobs=") || (a.starts_with("-j") && a.size() > 2)) {
            std::string_view value;
            if (a.starts_with("--jobs=")) {
                value = a.substr(7);
            } else if (a.starts_with("-j") && a.size() > 2) {
                value = a.substr(2);
            } else if (++i < argc) {
                value = argv[i];
            } else {
                return std::string(a) + " needs a number";
            }
            std::optional<unsigned> jobs = parseJobs(value);
            if (!jobs) return "Invalid number of jobs: " + std::string(value);
            o.jobs = *jobs;
        } else {
            return "Unknown option: " + std::string(a);
        }
    }
    if (o.help || o.version) return o;
    if (positional.size() < 2) return std::string("Missing QEV file path or destination (") + kUsage + ")";
    o.archive = positional[0];
    o.dest = positional[1];
    o.paths.assign(positional.begin() + 2, positional.end());
    return o;
}

}  // namespace qev::unpack
