// What the fuzz targets do with one input, shared with the regression tests that replay
// every input that ever misbehaved. A broken invariant aborts, so that the fuzzer and the
// tests both see it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qev::fuzz {

// Opens the bytes as an archive and does everything the tool can do with it: list, info,
// path lookups, enumeration, and reading every file whole and in pieces.
void exerciseArchive(const uint8_t* data, size_t size);

// Feeds the bytes to the JSON writer and the title-name parser.
void exerciseText(const uint8_t* data, size_t size);

}  // namespace qev::fuzz
