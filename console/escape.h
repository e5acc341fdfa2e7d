// Stored names and paths shown in messages: any byte string, made printable and unambiguous.
#pragma once

#include <string>
#include <string_view>

namespace qev {

// Control bytes, DEL, '\', '/' and '"' become \xHH, so a name holding a separator or a line
// end cannot pass for something else; other bytes are kept. The empty name is "".
std::string escapeName(std::string_view name);

}  // namespace qev
