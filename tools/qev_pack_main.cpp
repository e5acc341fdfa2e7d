#include "console/stop_signals.h"
#include "tools/qev_pack.h"

int main(int argc, char** argv) {
    qev::Console console = qev::processConsole();
    int code = qev::pack::runPack(argc, argv, console);
    // Stopped by a signal: the temporary is gone, so end by it.
    qev::endByCaughtSignal();
    return code;
}
