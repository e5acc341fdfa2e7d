#include "pack/options.h"

#include "shell/default_names.h"

#include <zstd.h>

#include <algorithm>
#include <stdexcept>

#include "archive/records/recovery_record.h"

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
         [&o](std::string_view value) {
             o.levelGiven = true;
             return parseLevel(value, o.level);
         }},
        {0,
         "no-dedup",
         {},
         "Store every copy of identical files (default: one)",
         [&o](std::string_view) {
             o.dedup = false;
             return std::string();
         }},
        {0, "recovery", "PERCENT", "Add a recovery record of about PERCENT of the archive (0.1 to 50)",
         [&o](std::string_view value) { return parseRecovery(value, o.recovery); }},
        {0, "update", "ARCHIVE", "Change ARCHIVE in place of packing: with --add, --remove, --recompress",
         [&o](std::string_view value) {
             o.update = value;
             return std::string();
         }},
        {0, "add", "DIR", "With --update: merge DIR's entries into the archive's root (repeatable)",
         [&o](std::string_view value) {
             o.adds.emplace_back(value);
             return std::string();
         }},
        {0, "remove", "PATH", "With --update: remove a file, or a folder and all in it (repeatable)",
         [&o](std::string_view value) {
             o.removes.emplace_back(value);
             return std::string();
         }},
        {0,
         "replace",
         {},
         "With --update: an added file replaces the archive's one of the same path",
         setFlag(o.replace)},
        {0, "recompress", {}, "With --update: compress every kept block again at --level", setFlag(o.recompress)},
        {0, "no-recovery", {}, "With --update: drop the recovery record", setFlag(o.noRecovery)},
        {'o', "output", "OUTPUT", "With --update: write the result to OUTPUT, leaving ARCHIVE as it is",
         [&o](std::string_view value) {
             o.outputOption = value;
             return std::string();
         }},
        {0, "force", {}, "Replace OUTPUT.qev if it exists", setFlag(o.force)},
        {'q', "quiet", {}, "Print errors only", setFlag(o.quiet)},
    };
    for (Option& common : commonOptions(o)) table.push_back(std::move(common));
    return table;
}

std::string takeArguments(Options& o) {
    if (!o.update.empty()) {
        if (!o.positional.empty()) return "Unexpected argument with --update: " + o.positional[0];
        if (o.noRecovery && o.recovery != 0) return "--recovery and --no-recovery exclude each other";
        o.output = o.outputOption.empty() ? o.update : o.outputOption;
        return "";
    }
    if (!o.adds.empty() || !o.removes.empty() || o.replace || o.recompress || o.noRecovery || !o.outputOption.empty()) {
        return "--add, --remove, --replace, --recompress, --no-recovery and -o go with --update";
    }
    if (o.positional.empty() || o.positional.size() > 2) {
        return "Expected SOURCE_DIR and OUTPUT.qev (" + std::string(kUsage) + ")";
    }
    o.source = o.positional[0];
    if (o.positional.size() == 2) {
        o.output = o.positional[1];
        return "";
    }
    // A folder alone is packed into an archive of its name beside it.
    std::optional<std::string> beside = archiveBeside(o.source);
    if (!beside) return "Name the archive: " + o.source + " has no name of its own (" + std::string(kUsage) + ")";
    o.output = *beside;
    return "";
}

}  // namespace qev::pack
