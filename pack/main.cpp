#include "system/process.h"
#include "system/stop_signals.h"
#include "pack/qev_pack.h"

int main(int argc, char** argv) {
    qev::Utf8Arguments arguments(argc, argv);
    qev::Console console = qev::processConsole();
    int code = qev::pack::runPack(arguments.count(), arguments.values(), console);
    // Stopped by a signal: the temporary is gone, so end by it.
    qev::endByCaughtSignal();
    return code;
}
