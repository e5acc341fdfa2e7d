#include "pack/options.h"

#include <zstd.h>

#include <stdexcept>

namespace qev::pack {
namespace {

std::string parseLevel(std::string_view text, int& level) {
    size_t used = 0;
    int value = 0;
    try {
        value = std::stoi(std::string(text), &used);
    } catch (const std::logic_error&) {
        used = 0;
    }
    if (used == 0 || used != text.size() || value < ZSTD_minCLevel() || value > ZSTD_maxCLevel()) {
        return "Invalid compression level: " + std::string(text);
    }
    level = value;
    return "";
}

}  // namespace

OptionTable optionTable(Options& o) {
    OptionTable table = {
        {0, "level", "N", "Zstandard level: negative (fastest) to 22 (default 3)",
         [&o](std::string_view value) { return parseLevel(value, o.level); }},
        {0, "no-dedup", {}, "Store every copy of identical files (default: one)",
         [&o](std::string_view) {
             o.dedup = false;
             return std::string();
         }},
        {0, "force", {}, "Replace OUTPUT.qev if it exists", setFlag(o.force)},
        {'q', "quiet", {}, "Print errors only", setFlag(o.quiet)},
    };
    for (Option& common : commonOptions(o)) table.push_back(std::move(common));
    return table;
}

std::string takeArguments(Options& o) {
    if (o.positional.size() != 2) return "Expected SOURCE_DIR and OUTPUT.qev (" + std::string(kUsage) + ")";
    o.source = o.positional[0];
    o.output = o.positional[1];
    return "";
}

}  // namespace qev::pack
