#include "check/repair.h"

#include <algorithm>
#include <cstring>

#include "archive/records/recovery_repair.h"
#include "check/rebuild.h"
#include "check/recovery_status.h"
#include "check/run_check.h"
#include "system/file.h"
#include "system/text.h"

namespace qev::check {
namespace {

int refuse(Console& console, const Options& o, const std::string& why) {
    printError(console, "Error: Cannot repair " + o.archive + ": ", why);
    return 1;
}

// Writes the patches where they belong in the file that was read, reads them back, syncs.
std::string writePatches(const Options& o, const ArchiveFile& read, const std::vector<Patch>& patches) {
    auto file = FileInPlace::open(pathFromUtf8(o.archive));
    if (!file) return lastSystemError();
    auto now = file->status();
    auto then = read.openedStatus();
    // The same file, unchanged since it was read: otherwise the patches would mend another.
    if (!now || !then || now->identity != then->identity || !sameContents(*then, *now) || read.changedSinceOpen()) {
        return "it changed while it was being repaired; nothing was written";
    }
    for (const Patch& p : patches) {
        if (!file->writeAt(p.offset, reinterpret_cast<const uint8_t*>(p.bytes.data()), uint32_t(p.bytes.size()))) {
            return lastSystemError();
        }
    }
    if (!file->sync()) return lastSystemError();
    std::string back;
    for (const Patch& p : patches) {
        back.resize(p.bytes.size());
        if (!file->readAt(p.offset, reinterpret_cast<uint8_t*>(back.data()), uint32_t(back.size())) ||
            back != p.bytes) {
            return "the repaired bytes did not read back as written";
        }
    }
    return {};
}

// One line for each error the repair leaves, and why.
void printUnrepaired(Console& console, const Options& o, const Findings& findings, const RecoveryDamage& damage) {
    for (const Finding& f : findings.items) {
        if (!f.error) continue;
        std::string why = !f.whyNot.empty() ? f.whyNot : whyNotRepairable(damage, f);
        printError(console, "Error: Cannot repair " + o.archive + ": ", f.text + ": " + why);
    }
}

}  // namespace

int repairArchive(const Options& o, Console& console) {
    std::unique_ptr<ArchiveFile> file = openArchiveFile(pathFromUtf8(o.archive));
    if (!file) return refuse(console, o, lastSystemError());
    RecoveryStatus status =
        assessRecovery(*file, /*damaged=*/true, console, o.progress.value_or(console.errorIsTerminal), o.progressJson);
    if (!status.present)
        return refuse(console, o, "no recovery record fits it (it has none, or its size changed since it was written)");
    if (!status.damage) return refuse(console, o, status.unreadable);
    const RecoveryDamage& damage = *status.damage;
    if (!damage.any()) {
        // Nothing differs from the record: whatever the check finds, the record cannot mend.
        Inspection in = inspectArchive(o, console, std::move(file), {}, Judge::kByRecoveryRecord);
        int code = reportInspection(o, console, in);
        if (code != 0) printUnrepaired(console, o, in.findings, damage);
        return code;
    }
    // The whole archive as repaired passes the check before a byte is written.
    Rebuilt rebuilt = rebuildAndRecheck(o, *file, damage);
    if (!rebuilt.patches) return refuse(console, o, rebuilt.why + "; nothing was written");
    Inspection& after = rebuilt.after;
    if (!rebuilt.passes()) {
        for (Finding& f : after.findings.items) {
            if (f.error && f.whyNot.empty() && f.size > 0 && damage.touches(f.offset, f.size)) {
                f.whyNot = std::string(kRemainsRebuilt);
            }
        }
        printUnrepaired(console, o, after.findings, damage);
        return refuse(console, o, "the rebuilt archive does not pass the check; nothing was written");
    }
    if (std::string error = writePatches(o, *file, *rebuilt.patches); !error.empty()) {
        printError(console, "Error: Failed to write " + o.archive + ": ", error);
        return 1;
    }
    // The record as the next check will find it: whole again, or with the parts no repair
    // could make as they were.
    after.report.recovery = assessRecovery(*file, /*damaged=*/false, console, /*showProgress=*/false);
    judgeFindings(after.report.recovery, after.findings);
    int code = reportInspection(o, console, after);
    if (code != 0 && after.report.recovery.damage)
        printUnrepaired(console, o, after.findings, *after.report.recovery.damage);
    return code;
}

}  // namespace qev::check
