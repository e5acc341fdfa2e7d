#include "console/stop_signals.h"
#include "unpack/run_unpack.h"

int main(int argc, char** argv) {
    qev::Console console = qev::processConsole();
    int code = qev::unpack::runUnpack(argc, argv, console);
    // Stopped by a signal: the temporaries are gone, so end by it.
    qev::endByCaughtSignal();
    return code;
}
