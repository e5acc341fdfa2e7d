#include "pack/options.h"

#include <zstd.h>

#include <algorithm>
#include <stdexcept>

#include "archive/recovery_record.h"

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

// A percentage with at most two decimals, within the record's bounds: "1", "0.5", "2.25".
std::string parseRecovery(std::string_view text, uint32_t& hundredths) {
    uint64_t value = 0;
    int decimals = -1;
    bool digits = false;
    for (char c : text) {
        if (c == '.' && decimals < 0) {
            decimals = 0;
        } else if (c >= '0' && c <= '9' && decimals < 2 && value < 1000000) {
            value = value * 10 + uint64_t(c - '0');
            digits = true;
            if (decimals >= 0) ++decimals;
        } else {
            return "Invalid recovery percentage: " + std::string(text);
        }
    }
    for (int d = std::max(decimals, 0); d < 2; ++d) value *= 10;
    if (!digits || value < kMinRecoveryHundredths || value > kMaxRecoveryHundredths) {
        return "Invalid recovery percentage (0.1 to 50): " + std::string(text);
    }
    hundredths = uint32_t(value);
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
        {0, "recovery", "PERCENT", "Add a recovery record of about PERCENT of the archive (0.1 to 50)",
         [&o](std::string_view value) { return parseRecovery(value, o.recovery); }},
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
