#include "system/temporaries.h"

#include <algorithm>

#include "system/file.h"
#include "system/process.h"

namespace qev {
namespace {

// A host name holds letters, digits, '-' and '.'; anything else becomes '_', so that the
// name stays one safe component on every filesystem.
std::string safeHost(std::string host) {
    for (char& c : host) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
        if (!plain) c = '_';
    }
    if (host.size() > 64) host.resize(64);
    return host.empty() ? "host" : host;
}

bool isDigits(std::string_view text) {
    return !text.empty() && text.size() <= 19 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool isTag(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(),
                                        [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); });
}

}  // namespace

TemporaryNames::TemporaryNames(std::string_view program) : host_(safeHost(hostName())) {
    // Appended piece by piece: GCC 12 warns falsely about `"." + std::string(...)`.
    program_.append(".").append(program).append("-");
    prefix_.append(program_).append(host_).append("-").append(std::to_string(processId())).append("-");
}

std::string TemporaryNames::name(std::string_view base, std::string_view tag) const {
    std::string out(base);
    out += prefix_;
    out += tag;
    return out;
}

bool TemporaryNames::isStale(std::string_view name) const {
    size_t at = name.rfind(program_);
    if (at == std::string_view::npos) return false;
    std::string_view rest = name.substr(at + program_.size());  // HOST-PID-TAG
    if (rest.size() <= host_.size() + 1 || rest.substr(0, host_.size()) != host_ || rest[host_.size()] != '-')
        return false;
    rest.remove_prefix(host_.size() + 1);  // PID-TAG
    size_t dash = rest.find('-');
    if (dash == std::string_view::npos || !isDigits(rest.substr(0, dash)) || !isTag(rest.substr(dash + 1)))
        return false;
    uint64_t pid = std::stoull(std::string(rest.substr(0, dash)));
    return !processRuns(pid);
}

TemporaryNames::Removed TemporaryNames::removeStale(const DirHandle& dir) const {
    auto listed = listDirectory(dir);
    return listed ? removeStale(dir, *listed) : Removed{};
}

TemporaryNames::Removed TemporaryNames::removeStale(const DirHandle& dir,
                                                    const std::vector<ListedEntry>& listed) const {
    Removed removed;
    for (const ListedEntry& entry : listed) {
        // Only files: a link or a folder of that name is not ours to remove.
        if (entry.kind != FileKind::kFile || !isStale(entry.name)) continue;
        if (removeFile(dir, entry.name)) continue;
        ++removed.files;
        removed.bytes += entry.size;
    }
    return removed;
}

}  // namespace qev
