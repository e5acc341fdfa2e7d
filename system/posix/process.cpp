#include "system/process.h"

#include <sys/resource.h>
#include <unistd.h>

namespace qev {

uint64_t processId() { return uint64_t(::getpid()); }

ProcessUser processUser() { return {uint32_t(::getuid()), uint32_t(::getgid())}; }

std::optional<uint64_t> openFileLimit() {
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return std::nullopt;
    return uint64_t(limit.rlim_cur);
}

Utf8Arguments::Utf8Arguments(int argc, char** argv) : strings_(argv, argv + argc) {
    for (std::string& s : strings_) pointers_.push_back(s.data());
    pointers_.push_back(nullptr);
}

void makeStandardOutputBinary() {}

bool standardErrorShowsProgress() { return ::isatty(STDERR_FILENO) != 0; }

}  // namespace qev
