// The shell every whole-archive program runs in: its command line read from a table of
// options, --help and --version, the number of jobs, opening the archive, and the one
// error line for whatever the program itself does not report (running out of memory
// above all).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/read/archive_index.h"
#include "shell/console.h"
#include "shell/options.h"

namespace qev {

// What every whole-archive program's command line holds.
struct CommonOptions {
    std::vector<std::string> positional;
    unsigned jobs = 0;             // after parsing: 1 to 1024, one per core unless given
    std::optional<bool> progress;  // unset: only on a terminal
    bool progressJson = false;     // --progress=json: one JSON object a line, for programs
    bool help = false;
    bool version = false;
};

struct ProgramSpec {
    std::string_view name;   // "qev-unpack"
    std::string_view usage;  // the usage line
    // Catches SIGINT and SIGTERM while the body runs, so that it can remove what it left
    // half done; the process then ends by the signal (see runMain).
    bool stoppable = false;
};

// -j/--jobs N, --progress, --no-progress, -h/--help and --version, writing into `common`.
OptionTable commonOptions(CommonOptions& common);

// One worker per core.
unsigned defaultJobs();

// Parses the command line with `table` (the program's own options, then the common ones);
// answers --help and --version; otherwise runs `body`, whose return is the exit code. A
// bad command line, running out of memory, or any other failure the body lets through ends
// as one "Error: " line and exit status 1.
int runProgram(const ProgramSpec& program, int argc, const char* const* argv, Console& console,
               const OptionTable& table, CommonOptions& common, const std::function<int()>& body);

// The archive at `path` (UTF-8), or null after "Error: Failed to open QEV file: PATH".
SharedIndex openOrReport(const std::string& path, Console& console);

// An opened archive with what its integrity record proves, for programs that hand out its
// bytes.
struct ProvenArchive {
    SharedIndex index;                                         // null when it did not open
    std::shared_ptr<const std::vector<uint32_t>> blockHashes;  // null when nothing proves blocks
    // The integrity record is damaged and no recovery record proves the blocks instead:
    // what is read is unproven, and a program must not call that success.
    bool unproven = false;
    // Its footer points at a recovery record: damage found while reading may be repairable.
    bool hasRecoveryRecord = false;
};

// Opens the archive and checks its tables and footer against its integrity record: one
// error line, and no archive, when it does not open or does not match. Where the record is
// damaged, the recovery record's sector hashes prove the tables and the blocks instead (one
// warning line, unless `quiet`); where nothing can, the archive comes back `unproven`.
ProvenArchive openProvenOrReport(const std::string& path, bool quiet, Console& console);

// The line that ends a run which handed out unproven bytes (without "Error: ").
inline constexpr std::string_view kUnprovenLine =
    "The integrity record is damaged and no recovery record proves the blocks instead, so what was read is "
    "unproven (see qev-check)";

// A program's main: the command line in UTF-8, the process's console, the program's seam,
// and, when a stop signal was caught, ending by it as a shell expects.
using ProgramSeam = int (*)(int argc, const char* const* argv, Console& console);
int runMain(int argc, char** argv, ProgramSeam seam);

}  // namespace qev
