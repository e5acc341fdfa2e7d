#pragma once

#include <cstddef>
#include <functional>

#include "shell/console.h"

namespace qev::pack {

// qev-pack SOURCE_DIR OUTPUT.qev [options]: packs a directory tree into a new archive.
// Returns the exit code; every failure is one "Error: " line.
int runPack(int argc, const char* const* argv, Console& console);

// Points where tests inject failures.
struct PackHooks {
    // Called before each block is stored, with its index; may throw.
    std::function<void(size_t blockIndex)> beforeBlock;
    // Replaces each file's content hash, to make files with different bytes collide.
    std::function<uint64_t(uint64_t hash)> hashOf;
};
int runPack(int argc, const char* const* argv, Console& console, const PackHooks& hooks);

}  // namespace qev::pack
