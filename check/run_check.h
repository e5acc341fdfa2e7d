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

// What checking an archive finds, printed nowhere but on progress lines. With `judge`, the
// recovery record judges each error repairable or not, having rebuilt and checked the
// archive to make sure.
struct Inspection {
    Report report;
    Findings findings;
    bool opened = false;
};
Inspection inspectArchive(const Options& o, Console& console, std::unique_ptr<ArchiveFile> file,
                          const Repaired& repaired, bool judge);
// The archive as a repair's patches would leave it, inspected without a line printed.
Inspection inspectPatched(const Options& o, const ArchiveFile& file, const std::vector<Patch>& patches,
                          const Repaired& repaired);
// Prints the summary and the findings; the exit status.
int reportInspection(const Options& o, Console& console, const Inspection& inspection);

// The check of one archive: `file` when given (else the file at o.archive), with what a
// repair wrote shown in the summary. Prints the summary and the findings.
int checkArchive(const Options& o, Console& console, std::unique_ptr<ArchiveFile> file, const Repaired& repaired);

}  // namespace qev::check
