// What the recovery record can do for an archive being checked: whether there is one,
// whether it is whole, and whether it can repair what the check found.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "archive/read/archive_file.h"
#include "archive/records/recovery_repair.h"
#include "archive/verify/findings.h"
#include "shell/console.h"

namespace qev::check {

struct RecoveryStatus {
    bool present = false;
    std::string unreadable;                // a read of it failed: why
    std::optional<RecoveryDamage> damage;  // when it could be read

    // Any run of this many bytes, and any this many scattered sectors, are still repairable.
    uint64_t runBytes() const;
    uint32_t sectors() const { return damage ? damage->spare : 0; }
};

// Finds the file's recovery record and compares its own parts with their hashes; with
// `damaged` (the file is known or thought to be damaged), every cell of the archive too,
// and the record is also searched for back from the end when the footer does not lead to it.
// The sectors compared are counted on a progress line when `showProgress`.
// With `json`, as one JSON object a line (--progress=json).
RecoveryStatus assessRecovery(const ArchiveFile& file, bool damaged, Console& console, bool showProgress,
                              bool json = false);

// Adds the record's own damage as findings, and judges every error finding repairable or
// not, by where the damaged sectors lie.
void judgeFindings(const RecoveryStatus& status, Findings& findings);
// Why the record cannot repair a finding: the damage is beyond it, or the bytes agree with
// its hashes.
std::string whyNotRepairable(const RecoveryDamage& damage, const Finding& finding);

// Why a record's headers cannot be made again.
inline constexpr std::string_view kHeadersLost =
    "both copies of its header are damaged, and the share they held cannot be proven";

// "2%", "0.5%", "1.25%".
std::string percentText(uint32_t hundredths);

}  // namespace qev::check
