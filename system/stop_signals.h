// SIGINT and SIGTERM caught for a while, so that a program can remove what it left half
// done (temporary files) and then end by the signal, as a shell expects.
#pragma once

#include <atomic>

namespace qev {

class StopSignals {
public:
    // Catches SIGINT and SIGTERM, and ignores SIGXFSZ so that a file size limit fails a
    // write instead of killing the process. Puts everything back when destroyed.
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // The signal caught since the last StopSignals was made, or 0.
    static const std::atomic<int>& caught();
    // Once the work is done and nothing is left half done, a stop no longer matters: the
    // signals are ignored from now on, and one caught already is forgotten.
    static void disregard();
};

// Ends the process by the signal that stopped it, if one did; returns otherwise.
void endByCaughtSignal();

}  // namespace qev
