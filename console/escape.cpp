#include "console/escape.h"

namespace qev {

std::string escapeName(std::string_view name) {
    if (name.empty()) return "\"\"";
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(name.size());
    for (char c : name) {
        auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F || c == '\\' || c == '/' || c == '"') {
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 15];
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace qev
