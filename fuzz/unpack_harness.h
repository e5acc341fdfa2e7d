// The whole-archive programs on hostile archives. Unpacking: whatever the bytes say, nothing
// may appear outside the destination, nothing there may be a link, and no temporary may be
// left.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qev::fuzz {

void exerciseUnpack(const uint8_t* data, size_t size);

// Checks the bytes as an archive, fully and with --quick, listing too: whatever they hold,
// the check ends with 0 or 1 and agrees with itself.
void exerciseCheck(const uint8_t* data, size_t size);

}  // namespace qev::fuzz
