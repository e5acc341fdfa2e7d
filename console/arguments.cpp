#include "console/arguments.h"

#include <optional>
#include <string_view>

namespace qev {
namespace {

std::optional<unsigned> parseJobCount(std::string_view text) {
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

bool takeJobsOption(int argc, const char* const* argv, int& i, unsigned& jobs, std::string& error) {
    std::string_view a = argv[i];
    std::string_view value;
    if (a.starts_with("--jobs=")) {
        value = a.substr(7);
    } else if (a.starts_with("-j") && a.size() > 2) {
        value = a.substr(2);
    } else if (a == "-j" || a == "--jobs") {
        if (i + 1 >= argc) {
            error = std::string(a) + " needs a number";
            return true;
        }
        value = argv[++i];
    } else {
        return false;
    }
    std::optional<unsigned> count = parseJobCount(value);
    if (count) {
        jobs = *count;
    } else {
        error = "Invalid number of jobs: " + std::string(value);
    }
    return true;
}

std::string parseOptions(int argc, const char* const* argv, CommonOptions& common,
                         const std::function<bool(std::string_view)>& own) {
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        std::string error;
        if (optionsEnded || a == "-" || !a.starts_with("-")) {
            common.positional.emplace_back(a);
        } else if (a == "--") {
            optionsEnded = true;
        } else if (a == "--progress" || a == "--no-progress") {
            common.progress = a == "--progress";
        } else if (a == "-h" || a == "--help") {
            common.help = true;
        } else if (a == "--version") {
            common.version = true;
        } else if (takeJobsOption(argc, argv, i, common.jobs, error)) {
            if (!error.empty()) return error;
        } else if (!own(a)) {
            return "Unknown option: " + std::string(a);
        }
    }
    return "";
}

}  // namespace qev
