#include "archive/read/title_name.h"

#include <algorithm>

namespace qev {
namespace {

constexpr size_t kTitleIdLength = 16;
constexpr std::string_view kVersionMark = "_v";

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

bool isDecimalDigit(char c) { return c >= '0' && c <= '9'; }

// The value of a run of decimal digits, or -1 when it exceeds INT32_MAX.
int64_t versionValue(std::string_view digits) {
    int64_t value = 0;
    for (char c : digits) {
        value = value * 10 + (c - '0');
        if (value > INT32_MAX) return -1;
    }
    return value;
}

}  // namespace

bool parseTitleFolderName(std::string_view name, TitleEntry& entry) {
    const size_t digitsAt = kTitleIdLength + kVersionMark.size();
    if (name.size() <= digitsAt) return false;
    std::string_view titleId = name.substr(0, kTitleIdLength);
    std::string_view digits = name.substr(digitsAt);
    if (!std::all_of(titleId.begin(), titleId.end(), isHexDigit) ||
        name.substr(kTitleIdLength, kVersionMark.size()) != kVersionMark ||
        !std::all_of(digits.begin(), digits.end(), isDecimalDigit)) {
        return false;
    }
    int64_t version = versionValue(digits);
    // A version beyond the 32-bit range is not a title folder we can describe.
    if (version < 0) return false;
    entry.folderName = std::string(name);
    entry.titleId = std::string(titleId);
    entry.version = int32_t(version);
    return true;
}

std::vector<TitleEntry> rootTitles(const ArchiveIndex& index) {
    std::vector<TitleEntry> titles;
    NodeId root = index.findPath("");
    if (!index.isDirectory(root)) return titles;
    uint32_t count = index.entryCount(root);
    for (uint32_t i = 0; i < count; ++i) {
        DirEntryInfo info;
        TitleEntry title;
        if (index.entryAt(root, i, info) && info.isDirectory && parseTitleFolderName(info.name, title)) {
            title.node = index.childAt(root, i);
            titles.push_back(std::move(title));
        }
    }
    return titles;
}

}  // namespace qev
