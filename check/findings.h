// What a check finds: errors make files unreadable or unreachable, warnings do not.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace qev::check {

struct Finding {
    bool error;
    std::string kind;  // a stable word for scripts, such as "damaged-block"
    std::string text;  // the line for people, without "Error: " or "Warning: "
};

// Every finding is counted; of each kind the first kShownPerKind are kept as lines, so a
// hostile archive with millions of broken entries gives a readable report.
inline constexpr size_t kShownPerKind = 100;

struct Findings {
    std::vector<Finding> items;
    size_t errors = 0;
    size_t warnings = 0;
    std::map<std::string, size_t> perKind;

    void error(std::string kind, std::string text) { add(true, std::move(kind), std::move(text)); }
    void warning(std::string kind, std::string text) { add(false, std::move(kind), std::move(text)); }

private:
    void add(bool isError, std::string kind, std::string text) {
        (isError ? errors : warnings) += 1;
        if (++perKind[kind] <= kShownPerKind) items.push_back({isError, std::move(kind), std::move(text)});
    }
};

}  // namespace qev::check
