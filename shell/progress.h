// A progress line for long work: drawn on the error stream of a terminal, redrawn at most
// ten times a second, and cleared before the program's last line.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "shell/console.h"

namespace qev {

struct ProgressCounts {
    uint64_t done = 0;
    uint64_t total = 0;
    uint64_t bytesDone = 0;
    uint64_t bytesTotal = 0;
    const char* unit = "files";  // what done and total count
    double ratio = -1;           // output bytes over input bytes so far; shown when set
};

class ProgressLine {
public:
    // With `json`, each update is one JSON object on a line of its own, at most four a
    // second, for a launcher or a GUI to draw its own bar (see render and renderJson).
    ProgressLine(Console& console, bool enabled, bool json = false);
    ~ProgressLine() { clear(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // Redraws the line unless it was drawn less than a tenth of a second ago.
    void update(const ProgressCounts& counts);
    // Shows `text` (ASCII) in the line's place at once, for a step that counts nothing,
    // such as "Syncing to the drive...".
    void note(std::string_view text);
    // Removes the line, if one is shown.
    void clear();

    // "1,234 of 20,000 files, 12.5 MiB of 160.0 MiB, 80.1 MiB/s, 2 s left"
    static std::string render(const ProgressCounts& counts, double seconds);
    // {"phase":"files","done":1234,"total":20000,"bytesDone":...,"bytesTotal":...,
    //  "rate":83990528,"secondsLeft":2}: the phase is what is counted; rate (bytes a
    // second) and secondsLeft once they are known.
    static std::string renderJson(const ProgressCounts& counts, double seconds);

private:
    void draw(std::string line);
    void writeJson(std::string line);

    Console& console_;
    bool enabled_;
    bool json_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDrawn_;
};

// Counts of units of `unitBytes` bytes each, such as sectors read: "12 of 40 sectors, ...".
inline ProgressCounts unitCounts(uint64_t done, uint64_t total, uint64_t unitBytes, const char* unit) {
    ProgressCounts counts{done, total, done * unitBytes, total * unitBytes};
    counts.unit = unit;
    return counts;
}

// What a progress line says while written data is made durable.
inline constexpr std::string_view kSyncingLine = "Syncing to the drive...";

// Byte counts for people: "512 B", "12.5 MiB".
std::string humanBytes(uint64_t bytes);

}  // namespace qev
