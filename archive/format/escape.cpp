#include "archive/format/escape.h"

namespace qev {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

void appendHex(std::string& out, unsigned char b) {
    out += "\\x";
    out += kHex[b >> 4];
    out += kHex[b & 15];
}

// The length of the valid UTF-8 sequence at the start of `s`, or 0 when there is none:
// no overlong forms, no surrogates, nothing above U+10FFFF.
size_t utf8Length(std::string_view s) {
    auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    auto tail = [&](size_t i) { return i < s.size() && (b(i) & 0xC0) == 0x80; };
    unsigned char c = b(0);
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) return tail(1) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        if (!tail(1) || !tail(2)) return 0;
        if ((c == 0xE0 && b(1) < 0xA0) || (c == 0xED && b(1) > 0x9F)) return 0;
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (!tail(1) || !tail(2) || !tail(3)) return 0;
        if ((c == 0xF0 && b(1) < 0x90) || (c == 0xF4 && b(1) > 0x8F)) return 0;
        return 4;
    }
    return 0;
}

// Copies valid UTF-8 sequences, writes bytes that are not part of one, control bytes and
// DEL as \xHH, and hands every other ASCII byte to `ascii`, which appends it its own way.
template <typename Ascii>
std::string escapeWith(std::string_view text, Ascii&& ascii) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        auto c = static_cast<unsigned char>(text[0]);
        size_t n = utf8Length(text);
        if (n == 0 || c < 0x20 || c == 0x7F) {
            appendHex(out, c);
            n = 1;
        } else if (c < 0x80) {
            ascii(out, c);
        } else {
            out.append(text.substr(0, n));
        }
        text.remove_prefix(n);
    }
    return out;
}

}  // namespace

bool isValidUtf8(std::string_view text) {
    while (!text.empty()) {
        size_t n = utf8Length(text);
        if (n == 0) return false;
        text.remove_prefix(n);
    }
    return true;
}

std::string escapePath(std::string_view path) {
    return escapeWith(path, [](std::string& out, unsigned char c) {
        if (c == '\\') out += '\\';
        out += char(c);
    });
}

std::string displayPath(std::string_view path) {
    return escapeWith(path, [](std::string& out, unsigned char c) { out += char(c); });
}

std::string escapeName(std::string_view name) {
    if (name.empty()) return "\"\"";
    return escapeWith(name, [](std::string& out, unsigned char c) {
        if (c == '\\' || c == '/' || c == '"') {
            appendHex(out, c);
        } else {
            out += char(c);
        }
    });
}

}  // namespace qev
