#include "unpack/name_rules.h"

#include <array>

#include "archive/names.h"
#include "console/escape.h"
#include "system/text.h"

namespace qev::unpack {
namespace {

// One letter case for every name Windows takes as the same: its own upper-case table there,
// ASCII letters elsewhere (where only tests ask).
std::string foldCase(std::string_view name) {
    if (std::optional<std::string> upper = upcaseAsWindows(name)) return *upper;
    std::string folded(name);
    for (char& c : folded) c = foldAscii(c);
    return folded;
}

bool isDeviceName(std::string_view name) {
    // Windows reads the part before the first dot, trailing spaces dropped, as the device.
    std::string_view base = name.substr(0, name.find('.'));
    while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
    static constexpr std::array<std::string_view, 6> kPlain = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (std::string_view device : kPlain) {
        if (equalIgnoringAsciiCase(base, device)) return true;
    }
    if (base.size() < 4) return false;
    std::string_view stem = base.substr(0, 3);
    if (!equalIgnoringAsciiCase(stem, "COM") && !equalIgnoringAsciiCase(stem, "LPT")) return false;
    std::string_view digit = base.substr(3);
    // COM1..COM9, and the superscript digits ¹ ² ³ that Windows counts as well.
    return (digit.size() == 1 && digit[0] >= '1' && digit[0] <= '9') || digit == "\xC2\xB9" ||
           digit == "\xC2\xB2" || digit == "\xC2\xB3";
}

}  // namespace

bool windowsCanHold(std::string_view name) {
    // Windows names are UTF-16: bytes that are no UTF-8 have no faithful name there, and
    // would all turn into the same replacement character.
    if (name.empty() || name.back() == '.' || name.back() == ' ' || !isValidUtf8(name)) return false;
    for (char c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || std::string_view("<>:\"|?*\\/").find(c) != std::string_view::npos) {
            return false;
        }
    }
    return !isDeviceName(name);
}

Refusal NameRules::check(std::string_view name) {
    if (!windows_) return name.starts_with(kTemporaryPrefix) ? Refusal::kUnsafe : Refusal::kNone;
    // Windows sees ".QEV-UNPACK-..." as the same name as a temporary.
    bool temporary = name.size() >= kTemporaryPrefix.size() &&
                     equalIgnoringAsciiCase(name.substr(0, kTemporaryPrefix.size()), kTemporaryPrefix);
    if (temporary || !windowsCanHold(name)) return Refusal::kUnsafe;
    return written_.insert(foldCase(name)).second ? Refusal::kNone : Refusal::kCaseTwin;
}

}  // namespace qev::unpack
