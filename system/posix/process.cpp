#include "system/process.h"

#include <malloc.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>

namespace qev {

uint64_t processId() { return uint64_t(::getpid()); }

std::string hostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

bool processRuns(uint64_t pid) {
    if (pid == 0 || pid > uint64_t(INT32_MAX)) return true;
    return ::kill(pid_t(pid), 0) == 0 || errno != ESRCH;
}

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

unsigned standardErrorColumns() {
    struct winsize size {};
    return ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

void keepServerMemoryLean() {
#ifdef __GLIBC__
    mallopt(M_ARENA_MAX, 1);
#endif
}

void openSystemLog(const char* program) { ::openlog(program, LOG_PID, LOG_DAEMON); }

void writeSystemLog(const std::string& line) { ::syslog(LOG_WARNING, "%s", line.c_str()); }

void holdOwnConsoleOpen() {}

}  // namespace qev
