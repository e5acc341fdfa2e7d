#include <iostream>

#include "tools/qev_pack.h"

int main(int argc, char** argv) {
    qev::cli::Console console{std::cout, std::cerr};
    return qev::pack::runPack(argc, argv, console);
}
