#include "system/process.h"
#include "system/stop_signals.h"
#include "unpack/run_unpack.h"

int main(int argc, char** argv) {
    qev::Utf8Arguments arguments(argc, argv);
    qev::Console console = qev::processConsole();
    int code = qev::unpack::runUnpack(arguments.count(), arguments.values(), console);
    // Stopped by a signal: the temporaries are gone, so end by it.
    qev::endByCaughtSignal();
    return code;
}
