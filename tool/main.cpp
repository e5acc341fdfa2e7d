#include "tool/entry.h"

int main(int argc, char** argv) {
    qev::Console console = qev::processConsole(/*binaryOutput=*/true);
    return qev::tool::runTool(argc, argv, console);
}
