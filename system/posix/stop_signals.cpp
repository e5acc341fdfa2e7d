#include "system/stop_signals.h"

#include <signal.h>

#include <csignal>

namespace qev {
namespace {

std::atomic<int> gCaught{0};

void onStop(int signal) { gCaught = signal; }

struct sigaction gOldInt, gOldTerm, gOldFsize;

}  // namespace

const std::atomic<int>& StopSignals::caught() { return gCaught; }

StopSignals::StopSignals() {
    gCaught = 0;
    struct sigaction on {};
    on.sa_handler = onStop;
    sigemptyset(&on.sa_mask);
    ::sigaction(SIGINT, &on, &gOldInt);
    ::sigaction(SIGTERM, &on, &gOldTerm);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &gOldFsize);
}

StopSignals::~StopSignals() {
    ::sigaction(SIGINT, &gOldInt, nullptr);
    ::sigaction(SIGTERM, &gOldTerm, nullptr);
    ::sigaction(SIGXFSZ, &gOldFsize, nullptr);
}

void StopSignals::disregard() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGINT, &ignore, nullptr);
    ::sigaction(SIGTERM, &ignore, nullptr);
    gCaught = 0;
}

void endByCaughtSignal() {
    if (int signal = gCaught) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
}

}  // namespace qev
