#include "cli/console.h"

#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#endif

namespace qev::cli {

void printError(Console& console, std::string_view message, std::string_view detail) {
    std::string line;
    line.reserve(message.size() + detail.size() + 1);
    line.append(message).append(detail).push_back('\n');
    console.err.write(line.data(), std::streamsize(line.size()));
    console.err.flush();
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

}  // namespace qev::cli
