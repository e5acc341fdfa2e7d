// What a check finds: errors make files unreadable or unreachable, warnings do not.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace qev::check {

struct Finding {
    bool error;
    std::string kind;  // a stable word for scripts, such as "damaged-block"
    std::string text;  // the line for people, without "Error: " or "Warning: "
    // The damaged bytes of the file, where the finding names them (size 0: not known).
    uint64_t offset = 0;
    uint64_t size = 0;
    // Whether the recovery record can repair it, once judged, and if not, why.
    std::optional<bool> repairable;
    std::string whyNot;

    // The line shown: the text, and the judgement where there is one.
    std::string shown() const {
        if (!repairable) return text;
        return text + (*repairable ? " (repairable)" : " (not repairable)");
    }
};

// Every finding is counted; of each kind the first kShownPerKind are kept as lines, so a
// hostile archive with millions of broken entries gives a readable report.
inline constexpr size_t kShownPerKind = 100;

struct Findings {
    std::vector<Finding> items;
    size_t errors = 0;
    size_t warnings = 0;
    std::map<std::string, size_t> perKind;

    // `text` is the line, or what makes it: called only for a finding that is kept, since a
    // path costs as much as the tree is deep.
    template <typename Text>
    void error(std::string kind, Text&& text) {
        add(true, std::move(kind), std::forward<Text>(text));
    }
    // An error about the file's bytes [offset, offset + size).
    template <typename Text>
    void errorAt(std::string kind, uint64_t offset, uint64_t size, Text&& text) {
        size_t before = items.size();
        add(true, std::move(kind), std::forward<Text>(text));
        if (items.size() > before) items.back().offset = offset, items.back().size = size;
    }
    template <typename Text>
    void warning(std::string kind, Text&& text) {
        add(false, std::move(kind), std::forward<Text>(text));
    }

private:
    template <typename Text>
    void add(bool isError, std::string kind, Text&& text) {
        (isError ? errors : warnings) += 1;
        if (++perKind[kind] > kShownPerKind) return;
        if constexpr (std::is_invocable_v<Text>) {
            items.push_back({isError, std::move(kind), text(), 0, 0, std::nullopt, {}});
        } else {
            items.push_back({isError, std::move(kind), std::string(std::forward<Text>(text)), 0, 0, std::nullopt, {}});
        }
    }
};

}  // namespace qev::check
