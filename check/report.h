// What qev-check prints: the summary for people or as JSON, the listing, the findings.
#pragma once

#include <string>
#include <vector>

#include "archive/records/integrity_record.h"
#include "archive/verify/block_check.h"
#include "archive/verify/findings.h"
#include "archive/verify/tree_survey.h"
#include "check/recovery_status.h"
#include "shell/console.h"

namespace qev::check {

// What a repair wrote back, before the check that follows it.
struct Repaired {
    uint64_t bytes = 0;
    uint64_t ranges = 0;
};

struct Report {
    std::string archive;      // as typed
    std::string openFailure;  // why it did not open, if it did not
    uint64_t archiveSize = 0;
    bool dataChecked = false;
    RecordState record = RecordState::kAbsent;  // the integrity record's own state
    uint64_t recordMismatches = 0;              // parts of the archive that do not match it
    std::string against;                        // the folder compared with, if any
    uint64_t againstFiles = 0;
    std::vector<std::string> differences;  // with that folder
    Totals totals;
    BlockStats blocks;
    RecoveryStatus recovery;
    Repaired repaired;
};

// "1 error", "2 errors".
std::string plural(size_t n, const char* one, const char* many);

std::string summaryText(const Report& report, const Findings& findings);
// One JSON object on one line; `opened` false leaves out everything but the findings.
std::string summaryJson(const Report& report, const Findings& findings, bool opened);
// One line of --list: "f SIZE PATH" or "d 0 PATH", or a JSON object.
std::string listLine(const WalkedEntry& entry, bool json);
// The findings, one line each, and when there are errors a last line that counts them.
void printFindings(Console& console, const Findings& findings);

}  // namespace qev::check
