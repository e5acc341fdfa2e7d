#include "tools/source_tree.h"

#include <algorithm>

namespace qev::pack {
namespace {

size_t addNode(SourceTree& tree, std::string name, bool isFile, uint64_t size,
               std::filesystem::path path) {
    tree.nodes.push_back({std::move(name), isFile, size, {}});
    tree.paths.push_back(std::move(path));
    return tree.nodes.size() - 1;
}

}  // namespace

SourceTree scanSourceTree(const std::filesystem::path& root, const SkipReport& skipped) {
    SourceTree tree;
    addNode(tree, "", false, 0, root);
    // An explicit list instead of recursion: trees may be deeper than the stack allows.
    for (size_t next = 0; next < tree.nodes.size(); ++next) {
        if (tree.nodes[next].isFile) continue;
        std::vector<std::filesystem::directory_entry> entries(
            std::filesystem::directory_iterator(tree.paths[next]), {});
        std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
            return a.path().filename().native() < b.path().filename().native();
        });
        for (const auto& entry : entries) {
            std::filesystem::file_status st = entry.symlink_status();
            bool isFile = std::filesystem::is_regular_file(st);
            if (!isFile && !std::filesystem::is_directory(st)) {
                skipped(std::filesystem::is_symlink(st) ? "symbolic link" : "special file", entry.path());
                continue;
            }
            size_t child = addNode(tree, entry.path().filename().string(), isFile,
                                   isFile ? entry.file_size() : 0, entry.path());
            tree.nodes[next].children.push_back(child);
        }
    }
    return tree;
}

}  // namespace qev::pack
