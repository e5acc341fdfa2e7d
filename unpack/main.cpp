#include <csignal>

#include "unpack/run_unpack.h"

int main(int argc, char** argv) {
    qev::Console console = qev::processConsole();
    int code = qev::unpack::runUnpack(argc, argv, console);
    if (int signal = qev::unpack::stoppingSignal()) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
    return code;
}
