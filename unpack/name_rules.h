// Stored names that qev-unpack leaves out although the archive's own rules allow them.
#pragma once

#include <string>
#include <string_view>
#include <unordered_set>

namespace qev::unpack {

// Files being written are named with this prefix until they are complete. A stored name
// that begins with it is not written: it could be taken for, or replace, a temporary.
// Temporaries are named ".qev-unpack-HOST-PID-TAG" (system/temporaries.h); the archive's
// names that begin so are never written.
inline constexpr std::string_view kProgramName = "qev-unpack";
inline constexpr std::string_view kTemporaryPrefix = ".qev-unpack-";

#ifdef _WIN32
inline constexpr bool kWindowsNames = true;
#else
inline constexpr bool kWindowsNames = false;
#endif

// Whether Windows can hold `name` as a file name: not a device name (CON, PRN, AUX, NUL,
// COM1 to COM9, LPT1 to LPT9, CONIN$, CONOUT$), with or without an extension and in any
// letter case; no trailing dot or space; none of <>:"|?*\/ or control characters; valid
// UTF-8.
bool windowsCanHold(std::string_view name);

enum class Refusal {
    kNone,
    kUnsafe,    // the temporaries' prefix, or (on Windows) a name Windows cannot hold
    kCaseTwin,  // where names ignore letter case, a sibling's name taken again
};

// Decides, sibling after sibling, which usable stored names are written. Where the
// destination ignores letter case (always on Windows; on Linux exFAT, FAT, casefolded
// folders, most SMB shares), a name that differs from an earlier written sibling's only in
// letter case would land on the same file, so only the first is written.
class NameRules {
public:
    explicit NameRules(bool foldsCase = kWindowsNames, bool windowsNames = kWindowsNames)
        : foldsCase_(foldsCase), windowsNames_(windowsNames) {}

    // Forgets the siblings seen so far.
    void enterDirectory() { written_.clear(); }
    // Call in sibling order; a name that is not refused counts as written.
    Refusal check(std::string_view name);

private:
    bool foldsCase_;
    bool windowsNames_;
    std::unordered_set<std::string> written_;  // folded to one letter case
};

}  // namespace qev::unpack
