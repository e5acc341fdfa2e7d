#include "unpack/name_rules.h"

#include <array>

#include "archive/names.h"

namespace qev::unpack {
namespace {

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
    if (name.empty() || name.back() == '.' || name.back() == ' ') return false;
    for (char c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || std::string_view("<>:\"|?*\\/").find(c) != std::string_view::npos) {
            return false;
        }
    }
    return !isDeviceName(name);
}

Refusal refusalOf(std::string_view name, bool caseTwin, bool windowsRules) {
    if (name.starts_with(kTemporaryPrefix)) return Refusal::kUnsafe;
    if (!windowsRules) return Refusal::kNone;
    if (!windowsCanHold(name)) return Refusal::kUnsafe;
    return caseTwin ? Refusal::kCaseTwin : Refusal::kNone;
}

}  // namespace qev::unpack
