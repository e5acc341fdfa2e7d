#include "shell/console.h"

#include <iostream>
#include <string>

#include "system/process.h"

namespace qev {

void printError(Console& console, std::string_view message, std::string_view detail) {
    std::string line;
    line.reserve(message.size() + detail.size() + 1);
    line.append(message).append(detail).push_back('\n');
    console.err.write(line.data(), std::streamsize(line.size()));
    console.err.flush();
}

void printWarning(Console& console, std::string_view text) { printError(console, kWarningPrefix, text); }

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

Console processConsole(bool binaryOutput) {
    std::ios::sync_with_stdio(false);
    std::cout.rdbuf()->pubsetbuf(nullptr, 0);
    return Console{std::cout, std::cerr, binaryOutput ? makeStandardOutputBinary : nullptr,
                   standardErrorShowsProgress()};
}

}  // namespace qev
