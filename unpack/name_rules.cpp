#include "unpack/name_rules.h"

#include <array>

#include "archive/format/escape.h"
#include "archive/format/names.h"
#include "system/text.h"

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
    return (digit.size() == 1 && digit[0] >= '1' && digit[0] <= '9') || digit == "\xC2\xB9" || digit == "\xC2\xB2" ||
           digit == "\xC2\xB3";
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
    // Where letter case is ignored, ".QEV-UNPACK-..." is the same name as a temporary.
    bool temporary = foldsCase_ ? name.size() >= kTemporaryPrefix.size() &&
                                      equalIgnoringAsciiCase(name.substr(0, kTemporaryPrefix.size()), kTemporaryPrefix)
                                : name.starts_with(kTemporaryPrefix);
    if (temporary || (windowsNames_ && !windowsCanHold(name))) return Refusal::kUnsafe;
    if (!foldsCase_) return Refusal::kNone;
    return written_.insert(upcaseName(name)).second ? Refusal::kNone : Refusal::kCaseTwin;
}

}  // namespace qev::unpack
