// What the library fuzz target does with one input: the bytes as an archive, opened from
// memory through the public C API and driven through every call.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qev::fuzz {

// Opens the bytes through qev_open_source at a verification level and a cache size its size
// picks,
// then walks, lists titles, sums, looks up, reads and verifies. A call that crashes, or
// that breaks the API's promises (a status without its error, bytes past the file), aborts.
void exerciseLibrary(const uint8_t* data, size_t size);

}  // namespace qev::fuzz
