// Builds one compact JSON document in memory: no whitespace between tokens, commas and
// keys placed by the writer. Inside an array the key given to a field call is dropped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qev {

// The bytes of `value` as the inside of a JSON string. The seven characters with short
// escapes get them, other bytes below 0x20 become \u00xx, everything else passes as is.
std::string escapeJsonString(std::string_view value);

class JsonWriter {
public:
    void beginObject();
    void endObject();
    void beginArray();
    void endArray();
    // A container as the value of a field.
    void beginObject(std::string_view key);
    void beginArray(std::string_view key);
    void stringField(std::string_view key, std::string_view value);
    void intField(std::string_view key, int64_t value);
    void uintField(std::string_view key, uint64_t value);
    void boolField(std::string_view key, bool value);
    // A number with `places` decimals, written the same in every locale.
    void decimalField(std::string_view key, double value, int places);
    // The document so far; the writer stays usable.
    std::string result() const { return text_; }

private:
    void writeSeparator();
    void writeKey(std::string_view key);
    void open(const std::string_view* key, char bracket, bool isArray);
    void close(char bracket);
    void numberField(std::string_view key, std::string_view digits);

    std::string text_;
    std::vector<bool> containerIsArray_;
    std::vector<bool> awaitingFirst_;
    bool valueWritten_ = false;
};

}  // namespace qev
