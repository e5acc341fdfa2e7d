#include "system/stop_signals.h"

#include <csignal>

#include "system/signal_state.h"

namespace qev {
namespace {

std::atomic<int> gCaught{0};

}  // namespace

void recordStopSignal(int signal) { gCaught = signal; }

void forgetStopSignal() { gCaught = 0; }

const std::atomic<int>& StopSignals::caught() { return gCaught; }

void endByCaughtSignal() {
    if (int signal = gCaught) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
}

}  // namespace qev
