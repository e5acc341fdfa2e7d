// Warnings that may come by the thousand (a tree of links, say): of each kind, the text
// before its first ": ", the first few are printed and the rest counted into one line.
#pragma once

#include <cstddef>
#include <map>
#include <string>

#include "shell/console.h"
#include "shell/progress.h"

namespace qev {

class WarningTally {
public:
    static constexpr size_t kShownPerKind = 5;
    // Prints nothing when `quiet`.
    WarningTally(Console& console, ProgressLine& progress, bool quiet)
        : console_(console), progress_(progress), quiet_(quiet) {}
    void warn(const std::string& text);
    // One line for each kind with more than were shown: "Warning: Skipped symbolic link:
    // 129 more not shown".
    void finish();

private:
    Console& console_;
    ProgressLine& progress_;
    bool quiet_;
    std::map<std::string, size_t> seen_;  // of each kind, how many
};

}  // namespace qev
