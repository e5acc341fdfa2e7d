// Reading a directory tree from disk into the nodes the archive writer lays out.
#pragma once

#include <filesystem>
#include <functional>
#include <string_view>
#include <vector>

#include "tools/archive_writer.h"

namespace qev::pack {

struct SourceTree {
    std::vector<writer::WriterNode> nodes;  // nodes[0] is the root
    std::vector<std::filesystem::path> paths;  // where each node's contents come from
};

// Called for each entry left out: symbolic links and anything that is neither a regular
// file nor a directory.
using SkipReport = std::function<void(std::string_view what, const std::filesystem::path& path)>;

// Every regular file and directory below `root`, children ordered by the bytes of their
// names, so the same tree always gives the same nodes. Throws
// std::filesystem::filesystem_error when a directory cannot be read.
SourceTree scanSourceTree(const std::filesystem::path& root, const SkipReport& skipped);

}  // namespace qev::pack
