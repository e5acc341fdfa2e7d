// What the two halves of StopSignals share: the signal caught, set from a handler.
#pragma once

namespace qev {

// Safe in a signal handler: it only stores to a lock-free atomic.
void recordStopSignal(int signal);
void forgetStopSignal();

}  // namespace qev
