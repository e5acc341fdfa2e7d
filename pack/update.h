// qev-pack --update: an archive changed without repacking it. Blocks that keep their
// content are copied as stored; only added files are compressed.
#pragma once

#include <string>
#include <vector>

#include "pack/options.h"
#include "pack/qev_pack.h"
#include "shell/console.h"

namespace qev::pack {

// Refusals that name several things (each conflict, each path not found): one error line
// each, and nothing written.
struct UpdateRefused {
    std::vector<std::string> lines;
};

// Throws PackError or UpdateRefused; ARCHIVE is untouched unless the result replaces it
// whole, and the result is in place before this returns.
void update(const Options& o, Console& console, const PackHooks& hooks);

}  // namespace qev::pack
