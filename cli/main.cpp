#include <iostream>

#include "cli/entry.h"

int main(int argc, char** argv) {
    // Unbuffered, and not through stdio: each write of a result or a line reaches the
    // file descriptor as one system call.
    std::ios::sync_with_stdio(false);
    std::cout.rdbuf()->pubsetbuf(nullptr, 0);
    qev::cli::Console console{std::cout, std::cerr, qev::cli::makeStandardOutputBinary};
    return qev::cli::runTool(argc, argv, console);
}
