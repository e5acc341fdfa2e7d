// Comparing stored names the way lookups do: only ASCII letters fold, every other byte
// must match exactly.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

namespace qev {

inline char foldAscii(char c) { return c >= 'A' && c <= 'Z' ? char(c + ('a' - 'A')) : c; }

// `name` with its ASCII capitals made small.
inline std::string foldedAscii(std::string_view name) {
    std::string folded(name);
    for (char& c : folded) c = foldAscii(c);
    return folded;
}

inline bool equalIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return foldAscii(x) == foldAscii(y); });
}

// Byte order of the folded names, bytes compared unsigned.
inline bool lessIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(foldAscii(x)) < static_cast<unsigned char>(foldAscii(y));
    });
}

}  // namespace qev
