#include "tools/qev_pack.h"

int main(int argc, char** argv) {
    qev::Console console = qev::processConsole();
    return qev::pack::runPack(argc, argv, console);
}
