#include "pack/as_title.h"

#include "archive/read/title_name.h"
#include "shell/default_names.h"

namespace qev::pack {

bool holdsTitles(const SourceTree& tree) {
    TitleEntry title;
    for (size_t k = 0; k < tree.childCount(0); ++k) {
        size_t child = tree.child(0, k);
        if (!tree.isFile(child) && parseTitleFolderName(tree.name(child), title)) return true;
    }
    return false;
}

std::optional<std::string> packedAsTitle(const std::string& source, bool rootHoldsTitles) {
    std::string name = lastPathName(source);
    TitleEntry title;
    if (rootHoldsTitles || !parseTitleFolderName(name, title)) return std::nullopt;
    return name;
}

std::string_view AsTitle::name(size_t node) const {
    if (node == 0) return {};
    return node == 1 ? std::string_view(name_) : tree_.name(node - 1);
}

void AsTitle::toSource(writer::TreeLayout& layout) {
    for (size_t& node : layout.order) node = node == 0 ? 0 : node - 1;
}

}  // namespace qev::pack
