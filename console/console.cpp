#include "console/console.h"

#include <iostream>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include <windows.h>

#include <cstdio>
#else
#include <unistd.h>
#endif

namespace qev {

void printError(Console& console, std::string_view message, std::string_view detail) {
    std::string line;
    line.reserve(message.size() + detail.size() + 1);
    line.append(message).append(detail).push_back('\n');
    console.err.write(line.data(), std::streamsize(line.size()));
    console.err.flush();
}

void printWarning(Console& console, std::string_view text) {
    printError(console, kWarningPrefix, text);
}

bool printLine(Console& console, std::string_view text) {
    std::string line;
    line.reserve(text.size() + 1);
    line.append(text).push_back('\n');
    console.out.write(line.data(), std::streamsize(line.size()));
    console.out.flush();
    return console.out.good();
}

int emitResult(Console& console, std::string_view bytes) {
    console.out.write(bytes.data(), std::streamsize(bytes.size()));
    console.out.flush();
    if (console.out.good()) return 0;
    printError(console, kOutputFailed);
    return 1;
}

void makeStandardOutputBinary() {
#ifdef _WIN32
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
#endif
}

// Whether standard error is a terminal that can show a progress line, which is redrawn
// with a carriage return and "erase to the end of the line".
bool errorIsProgressTerminal() {
#ifdef _WIN32
    // A Windows console understands the erase sequence only once asked to (Windows 10
    // and later); where it cannot, no progress line is shown by default.
    HANDLE h = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (!_isatty(_fileno(stderr)) || !GetConsoleMode(h, &mode)) return false;
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

Console processConsole(bool binaryOutput) {
    std::ios::sync_with_stdio(false);
    std::cout.rdbuf()->pubsetbuf(nullptr, 0);
    return Console{std::cout, std::cerr, binaryOutput ? makeStandardOutputBinary : nullptr,
                   errorIsProgressTerminal()};
}

}  // namespace qev
