// Unpacking hostile archives: whatever the bytes say, nothing may appear outside the
// destination, nothing there may be a link, and no temporary may be left.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qev::fuzz {

void exerciseUnpack(const uint8_t* data, size_t size);

}  // namespace qev::fuzz
