#include "cli/entry.h"

int main(int argc, char** argv) {
    qev::Console console = qev::processConsole(/*binaryOutput=*/true);
    return qev::cli::runTool(argc, argv, console);
}
