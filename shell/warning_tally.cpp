#include "shell/warning_tally.h"

namespace qev {

void WarningTally::warn(const std::string& text) {
    if (quiet_) return;
    size_t& count = seen_[text.substr(0, text.find(": "))];
    if (++count > kShownPerKind) return;
    progress_.clear();
    printWarning(console_, text);
}

void WarningTally::finish() {
    for (const auto& [kind, count] : seen_) {
        if (count <= kShownPerKind) continue;
        progress_.clear();
        printWarning(console_, kind + ": " + std::to_string(count - kShownPerKind) + " more not shown");
    }
    seen_.clear();
}

}  // namespace qev
