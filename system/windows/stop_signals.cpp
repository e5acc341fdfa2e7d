#include "system/stop_signals.h"

#include "system/signal_state.h"

#include <csignal>

namespace qev {
namespace {

void onStop(int signal) { recordStopSignal(signal); }

}  // namespace

StopSignals::StopSignals() {
    forgetStopSignal();
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
    forgetStopSignal();
}

}  // namespace qev
