#include <iostream>

#include "cli/entry.h"

int main(int argc, char** argv) {
    qev::cli::Console console{std::cout, std::cerr, qev::cli::makeStandardOutputBinary};
    return qev::cli::runTool(argc, argv, console);
}
