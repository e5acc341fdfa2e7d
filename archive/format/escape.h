// Stored names and paths shown in messages: any byte string, made printable and unambiguous.
#pragma once

#include <string>
#include <string_view>

namespace qev {

// Whether `text` is valid UTF-8 throughout.
bool isValidUtf8(std::string_view text);

// Control bytes, DEL, '\', '/', '"' and bytes that are not part of valid UTF-8 become \xHH,
// so a name holding a separator or a line end cannot pass for something else, and the
// result is valid UTF-8. The empty name is "".
std::string escapeName(std::string_view name);

// Paths in listings, one per line: valid UTF-8 passes as it is, except that a backslash is
// doubled; bytes that are not part of valid UTF-8, control bytes and DEL become \xHH. The
// result is valid UTF-8 and holds no line end, and the original bytes can be recovered.
std::string escapePath(std::string_view path);

// A path the user gave, shown to people as typed (a Windows path keeps its single
// backslashes): only bytes that are not part of valid UTF-8, control bytes and DEL become
// \xHH, so that it stays one line of valid UTF-8.
std::string displayPath(std::string_view path);

}  // namespace qev
