// Command lines read from a table of options: each option's spellings, whether it takes a
// value, and its line in --help.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qev {

struct Option {
    char shortName = 0;          // 'j' for -j; 0 for none
    std::string_view longName;   // "jobs" for --jobs
    std::string_view valueName;  // "N" when it takes a value (-j N, -jN, --jobs N, --jobs=N)
    std::string_view help;       // one line
    // Takes the value (empty for a flag); returns the error line's text (without
    // "Error: "), or "".
    std::function<std::string(std::string_view value)> apply;
    // What a missing value is called in "--jobs needs a number".
    std::string_view needs = "a value";
};
using OptionTable = std::vector<Option>;

// The action of a flag: sets `to`.
std::function<std::string(std::string_view)> setFlag(bool& to);

// Applies every option in argv[1...] and collects the other arguments into `positional`;
// after "--" every argument is positional, and so is "-" alone. Returns the error line's
// text (without "Error: ") for the first unknown option or bad value, or "".
std::string parseCommandLine(int argc, const char* const* argv, const OptionTable& table,
                             std::vector<std::string>& positional);

// The usage line, then one line for each option of the table.
std::string helpText(std::string_view usage, const OptionTable& table);

}  // namespace qev
