// The one rebuild and recheck: the damage rebuilt from the recovery record and the archive,
// as it would then be, checked whole. A plain check asks it which findings are repairable,
// and --repair whether to write; both read the same answer.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/read/archive_file.h"
#include "archive/records/recovery_repair.h"
#include "check/options.h"
#include "check/run_check.h"

namespace qev::check {

inline constexpr std::string_view kRemainsRebuilt = "it remains once the damaged sectors are rebuilt";

struct Rebuilt {
    std::optional<std::vector<Patch>> patches;  // nothing when the damage cannot be rebuilt
    std::string why;                            // then, why
    Inspection after;                           // the check of the archive as rebuilt

    // Whether the rebuilt archive passes the check whole: only then is it written.
    bool passes() const { return patches && after.opened && after.findings.errors == 0; }
    // Whether a finding of the archive as it is would still be found once rebuilt.
    bool remains(const Finding& finding) const;
};

// The check of the rebuilt archive reports what the rebuild would write.
Rebuilt rebuildAndRecheck(const Options& o, const ArchiveFile& file, const RecoveryDamage& damage);

}  // namespace qev::check
