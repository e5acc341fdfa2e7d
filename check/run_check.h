#pragma once

#include <memory>

#include "archive/read/archive_file.h"
#include "archive/records/recovery_repair.h"
#include "check/options.h"
#include "check/report.h"
#include "shell/console.h"

namespace qev::check {

// qev-check ARCHIVE [options]: checks an archive's structure and data and describes what
// it holds. Returns 0 when nothing makes a file unreadable or unreachable, else 1.
int runCheck(int argc, const char* const* argv, Console& console);

// What checking an archive finds, printed nowhere but on progress lines.
struct Inspection {
    Report report;
    Findings findings;
    bool opened = false;
};
// Whether the recovery record judges each error repairable or not, having rebuilt and
// checked the archive to make sure.
enum class Judge : uint8_t { kNo, kByRecoveryRecord };
// `file` is o.archive as the caller opened it: null when it did not open, which the
// inspection then reports with the system's reason.
Inspection inspectArchive(const Options& o, Console& console, std::unique_ptr<ArchiveFile> file,
                          const Repaired& repaired, Judge judge);
// The archive as a repair's patches would leave it, inspected without a line printed.
Inspection inspectPatched(const Options& o, const ArchiveFile& file, const std::vector<Patch>& patches,
                          const Repaired& repaired);
// Prints the summary and the findings; the exit status.
int reportInspection(const Options& o, Console& console, const Inspection& inspection);

}  // namespace qev::check
