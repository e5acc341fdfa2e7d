#include "console/stop_signals.h"

#include <csignal>

#ifndef _WIN32
#include <signal.h>
#endif

namespace qev {
namespace {

std::atomic<int> gCaught{0};

void onStop(int signal) { gCaught = signal; }

#ifndef _WIN32
struct sigaction gOldInt, gOldTerm, gOldFsize;
#endif

}  // namespace

const std::atomic<int>& StopSignals::caught() { return gCaught; }

#ifdef _WIN32

StopSignals::StopSignals() {
    gCaught = 0;
    std::signal(SIGINT, onStop);
    std::signal(SIGTERM, onStop);
}

StopSignals::~StopSignals() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

#else

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

#endif

void endByCaughtSignal() {
    if (int signal = gCaught) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
}

}  // namespace qev
