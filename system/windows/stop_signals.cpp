#include "system/stop_signals.h"

#include <csignal>

namespace qev {
namespace {

std::atomic<int> gCaught{0};

void onStop(int signal) { gCaught = signal; }

}  // namespace

const std::atomic<int>& StopSignals::caught() { return gCaught; }

StopSignals::StopSignals() {
    gCaught = 0;
    std::signal(SIGINT, onStop);
    std::signal(SIGTERM, onStop);
}

StopSignals::~StopSignals() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

void StopSignals::disregard() {
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGTERM, SIG_IGN);
    gCaught = 0;
}

void endByCaughtSignal() {
    if (int signal = gCaught) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
}

}  // namespace qev
