#include "system/stop_signals.h"

#include <signal.h>

#include <csignal>

#include "system/signal_state.h"

namespace qev {
namespace {

void onStop(int signal) { recordStopSignal(signal); }

struct sigaction gOldInt, gOldTerm, gOldFsize;

}  // namespace

StopSignals::StopSignals() {
    forgetStopSignal();
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
    forgetStopSignal();
}

}  // namespace qev
