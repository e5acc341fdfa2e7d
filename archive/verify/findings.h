// What checking an archive finds: errors make files unreadable or unreachable, warnings do
// not. Each finding is typed (a kind, and the entry, block and bytes it is about where it
// has them) and carries its line for people.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "archive/read/archive_index.h"

namespace qev {

struct Finding {
    bool error = true;
    std::string kind;               // a stable word for scripts, such as "damaged-block"
    std::string text;               // the line for people, without "Error: " or "Warning: "
    NodeId entry = kInvalidNode;    // the entry it is about, if any
    std::optional<uint64_t> block;  // the block it is about, if any
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

// Every finding is counted; of each kind the first kShownPerKind are kept, so a hostile
// archive with millions of broken entries gives a readable report.
inline constexpr size_t kShownPerKind = 100;

struct Findings {
    std::vector<Finding> items;
    size_t errors = 0;
    size_t warnings = 0;
    std::map<std::string, size_t> perKind;

    // `text` is the line, or what makes it: called only for a finding that is kept, since a
    // path costs as much as the tree is deep. Each returns the finding kept, or null, so
    // the caller can say what it is about.
    template <typename Text>
    Finding* error(std::string kind, Text&& text) {
        return add(true, std::move(kind), std::forward<Text>(text));
    }
    // An error about the file's bytes [offset, offset + size).
    template <typename Text>
    Finding* errorAt(std::string kind, uint64_t offset, uint64_t size, Text&& text) {
        Finding* f = add(true, std::move(kind), std::forward<Text>(text));
        if (f != nullptr) f->offset = offset, f->size = size;
        return f;
    }
    template <typename Text>
    Finding* warning(std::string kind, Text&& text) {
        return add(false, std::move(kind), std::forward<Text>(text));
    }

private:
    template <typename Text>
    Finding* add(bool isError, std::string kind, Text&& text) {
        (isError ? errors : warnings) += 1;
        if (++perKind[kind] > kShownPerKind) return nullptr;
        Finding& f = items.emplace_back();
        f.error = isError;
        f.kind = std::move(kind);
        if constexpr (std::is_invocable_v<Text>) {
            f.text = text();
        } else {
            f.text = std::string(std::forward<Text>(text));
        }
        return &f;
    }
};

// A finding's line begins with a capital letter.
inline std::string capitalized(std::string text) {
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = char(text[0] - 'a' + 'A');
    return text;
}

// Marks a kept finding as being about `entry`.
inline void about(Finding* finding, NodeId entry) {
    if (finding != nullptr) finding->entry = entry;
}

}  // namespace qev
