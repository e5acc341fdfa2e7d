// Stored names that qev-unpack leaves out although the archive's own rules allow them.
#pragma once

#include <string_view>

namespace qev::unpack {

// Files being written are named with this prefix until they are complete. A stored name
// that begins with it is not written: it could be taken for, or replace, a temporary.
inline constexpr std::string_view kTemporaryPrefix = ".qev-unpack-";

#ifdef _WIN32
inline constexpr bool kWindowsNames = true;
#else
inline constexpr bool kWindowsNames = false;
#endif

// Whether Windows can hold `name` as a file name: not a device name (CON, PRN, AUX, NUL,
// COM1 to COM9, LPT1 to LPT9, CONIN$, CONOUT$), with or without an extension and in any
// letter case; no trailing dot or space; none of <>:"|?*\/ or control characters.
bool windowsCanHold(std::string_view name);

enum class Refusal {
    kNone,
    kUnsafe,    // the temporaries' prefix, or (on Windows) a name Windows cannot hold
    kCaseTwin,  // on Windows, whose names ignore letter case, a sibling's name taken again
};

// Why a usable stored name is not written; `caseTwin` says it differs from an earlier
// sibling's only in letter case.
Refusal refusalOf(std::string_view name, bool caseTwin, bool windowsRules = kWindowsNames);

}  // namespace qev::unpack
