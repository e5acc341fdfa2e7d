// qev-check --against DIR: the archive compared with a folder, file by file and byte by
// byte, on every core, by the rules qev-pack packs a folder with: regular files and folders
// only (links and special files are not packed, so they are not compared), names as their
// bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive/read/archive_index.h"
#include "shell/console.h"

namespace qev::check {

struct Comparison {
    uint64_t files = 0;        // compared on both sides
    uint64_t directories = 0;  // walked on both sides
    // One line each, in the walk's order: "Only in the archive: PATH", "Only in DIR: PATH",
    // "Differs: PATH".
    std::vector<std::string> differences;
    // Error lines' texts (without "Error: "): what could not be read on either side.
    std::vector<std::string> errors;
};

// `blockHashes` (the integrity record's, or null): a block that does not match is an
// archive file that cannot be read. `idle` is called now and then, with the files done.
Comparison compareWithFolder(const SharedIndex& index, std::shared_ptr<const std::vector<uint32_t>> blockHashes,
                             const std::string& folder, unsigned jobs, const std::function<void(uint64_t done)>& idle);

}  // namespace qev::check
