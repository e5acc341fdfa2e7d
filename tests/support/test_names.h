// Names for parameterised test cases, made from their descriptions.
#pragma once

#include <cctype>
#include <ostream>
#include <string>
#include <string_view>

namespace qev::testing {

// Letters and digits kept, everything else an underscore, as test names require.
inline std::string testName(std::string_view what) {
    std::string n(what);
    for (char& c : n) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return n;
}

// For INSTANTIATE_TEST_SUITE_P over structs with a `what` member.
struct NameFromWhat {
    template <typename Info>
    std::string operator()(const Info& info) const {
        return testName(info.param.what);
    }
};

}  // namespace qev::testing

// Cases print as their description in test listings rather than as raw bytes.
#define QEV_PRINT_CASE_AS_WHAT(Case) \
    inline void PrintTo(const Case& c, std::ostream* os) { *os << c.what; }
