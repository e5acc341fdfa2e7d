#include "shell/json_writer.h"

#include <charconv>

namespace qev {
namespace {

void appendEscaped(std::string& out, std::string_view value) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (char c : value) {
        switch (c) {
            case '\b': out += "\\b"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\f': out += "\\f"; break;
            case '\r': out += "\\r"; break;
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    // Raw control bytes are not allowed inside JSON strings.
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 0xF];
                } else {
                    out += c;
                }
        }
    }
}

// Decimal digits, locale-independent; 24 bytes hold any 64-bit value and its sign.
template <typename Int>
std::string_view decimal(char (&digits)[24], Int value) {
    return {digits, size_t(std::to_chars(digits, digits + sizeof digits, value).ptr - digits)};
}

}  // namespace

std::string escapeJsonString(std::string_view value) {
    std::string out;
    appendEscaped(out, value);
    return out;
}

void JsonWriter::writeSeparator() {
    if (awaitingFirst_.empty()) return;
    if (awaitingFirst_.back()) {
        awaitingFirst_.back() = false;
    } else if (valueWritten_) {
        text_ += ',';
    }
}

void JsonWriter::writeKey(std::string_view key) {
    if (containerIsArray_.empty() || containerIsArray_.back()) return;
    text_ += '"';
    appendEscaped(text_, key);
    text_ += "\":";
}

void JsonWriter::open(const std::string_view* key, char bracket, bool isArray) {
    writeSeparator();
    // Unkeyed containers stay unkeyed wherever they stand, as they always have.
    if (key != nullptr) writeKey(*key);
    text_ += bracket;
    containerIsArray_.push_back(isArray);
    awaitingFirst_.push_back(true);
    valueWritten_ = false;
}

void JsonWriter::close(char bracket) {
    text_ += bracket;
    // An unmatched end call leaves the (empty) stacks alone.
    if (!containerIsArray_.empty()) {
        containerIsArray_.pop_back();
        awaitingFirst_.pop_back();
    }
    valueWritten_ = true;
}

void JsonWriter::beginObject() { open(nullptr, '{', false); }
void JsonWriter::beginArray() { open(nullptr, '[', true); }
void JsonWriter::beginObject(std::string_view key) { open(&key, '{', false); }
void JsonWriter::beginArray(std::string_view key) { open(&key, '[', true); }
void JsonWriter::endObject() { close('}'); }
void JsonWriter::endArray() { close(']'); }

void JsonWriter::stringField(std::string_view key, std::string_view value) {
    writeSeparator();
    writeKey(key);
    text_ += '"';
    appendEscaped(text_, value);
    text_ += '"';
    valueWritten_ = true;
}

void JsonWriter::numberField(std::string_view key, std::string_view digits) {
    writeSeparator();
    writeKey(key);
    text_ += digits;
    valueWritten_ = true;
}

void JsonWriter::intField(std::string_view key, int64_t value) {
    char digits[24];
    numberField(key, decimal(digits, value));
}

void JsonWriter::uintField(std::string_view key, uint64_t value) {
    char digits[24];
    numberField(key, decimal(digits, value));
}

void JsonWriter::boolField(std::string_view key, bool value) { numberField(key, value ? "true" : "false"); }

void JsonWriter::decimalField(std::string_view key, double value, int places) {
    char digits[64];
    auto r = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, places);
    numberField(key, std::string_view(digits, size_t(r.ptr - digits)));
}

}  // namespace qev
