// The one time type of the toolset, and the one conversion between epochs.
#pragma once

#include <cstdint>
#include <limits>

namespace qev {

// Nanoseconds since 1970-01-01 UTC.
using FileTime = int64_t;

// Windows counts 100 ns steps from 1601-01-01.
inline constexpr int64_t kWindowsTicksFrom1601To1970 = 116444736000000000;

// Saturates rather than wraps: no real file lies near either end.
constexpr FileTime fileTimeFromWindowsTicks(int64_t ticks) {
    int64_t since1970 = ticks - kWindowsTicksFrom1601To1970;  // ticks >= 0 on Windows: cannot wrap
    if (since1970 > std::numeric_limits<int64_t>::max() / 100) return std::numeric_limits<int64_t>::max();
    if (since1970 < std::numeric_limits<int64_t>::min() / 100) return std::numeric_limits<int64_t>::min();
    return since1970 * 100;
}

// Before 1601 there is no Windows time: 0 or less.
constexpr int64_t windowsTicksFromFileTime(FileTime t) { return t / 100 + kWindowsTicksFrom1601To1970; }

}  // namespace qev
