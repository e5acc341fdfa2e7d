// The process: its id and user, its command line as UTF-8, and its standard streams.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qev {

uint64_t processId();

// This machine's name, as the system gives it (empty when it gives none).
std::string hostName();

// Whether process `pid` of this machine still runs; true when that cannot be told (it may
// belong to another user), so that nothing of a live process is ever taken for stale.
bool processRuns(uint64_t pid);

// The user and group the process runs as (0 on Windows, which has no such numbers).
struct ProcessUser {
    uint32_t user = 0;
    uint32_t group = 0;
};
ProcessUser processUser();

// How many descriptors the process may have open at once; nothing where there is no such
// small limit (Windows).
std::optional<uint64_t> openFileLimit();

// The command line in UTF-8. On Windows it is read again as wide strings, so that names no
// code page holds arrive whole; elsewhere `argv` is used as it is.
class Utf8Arguments {
public:
    Utf8Arguments(int argc, char** argv);
    int count() const { return int(pointers_.size()) - 1; }
    char** values() { return pointers_.data(); }

private:
    std::vector<std::string> strings_;
    std::vector<char*> pointers_;  // ends with a null, as argv does
};

// Puts standard output into binary mode where the system translates line ends.
void makeStandardOutputBinary();

// Whether standard error is a terminal that can show a progress line, which is redrawn
// with a carriage return and "erase to the end of the line".
bool standardErrorShowsProgress();
// The width of the terminal standard error shows, in columns; 0 when it is none or unknown.
unsigned standardErrorColumns();

// Where the program's console window is its own alone (Windows made it for a program
// started from Explorer: a double-click, or a folder dropped on it), says so and waits for
// a key, so that the result or the error can be read before the window closes. Nothing
// where the console is shared with a shell, where there is none, and on POSIX systems.
void holdOwnConsoleOpen();

// The system log (syslog) for a program that runs detached, whose standard error goes
// nowhere: lines go there under the program's name. Nothing on Windows.
void openSystemLog(const char* program);
void writeSystemLog(const std::string& line);

// For a long-running server whose threads allocate little: one pool of memory for all its
// threads, instead of one each that keeps what its thread once freed.
void keepServerMemoryLean();

}  // namespace qev
