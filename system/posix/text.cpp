#include "system/text.h"

#include <locale.h>
#include <wctype.h>

#include <cerrno>
#include <cstring>

namespace qev {

std::filesystem::path pathFromUtf8(std::string_view text) { return std::filesystem::path(std::string(text)); }

std::string utf8FromPath(const std::filesystem::path& path) { return path.native(); }

bool hasUtf8Form(const std::filesystem::path&) { return true; }

std::optional<std::filesystem::path> pathFromNarrowArgument(const char* argument) {
    return std::filesystem::path(std::string(argument));
}

std::filesystem::path longPathForm(const std::filesystem::path& path) { return path; }

namespace {

// The length of the UTF-8 sequence at `p` and its code point, or 0 when it is not one.
size_t decodeUtf8(std::string_view s, size_t p, char32_t& c) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    unsigned char b = byte(p);
    size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (n == 0 || p + n > s.size()) return 0;
    c = n == 1 ? b : b & (0x7F >> n);
    for (size_t i = 1; i < n; ++i) {
        if ((byte(p + i) & 0xC0) != 0x80) return 0;
        c = (c << 6) | (byte(p + i) & 0x3F);
    }
    return n;
}

void encodeUtf8(char32_t c, std::string& out) {
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::string upcaseName(std::string_view name) {
    static const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    std::string out;
    out.reserve(name.size());
    for (size_t p = 0; p < name.size();) {
        char32_t c = 0;
        size_t n = decodeUtf8(name, p, c);
        if (n == 0) {
            out += name[p++];
            continue;
        }
        wint_t upper = utf8 != nullptr ? ::towupper_l(wint_t(c), utf8) : (c >= 'a' && c <= 'z' ? c - 32 : c);
        encodeUtf8(char32_t(upper), out);
        p += n;
    }
    return out;
}

std::string systemErrorText(unsigned long code) { return std::strerror(int(code)); }

std::string lastSystemError() { return std::strerror(errno); }

unsigned long lastSystemErrorCode() { return unsigned(errno); }

}  // namespace qev
