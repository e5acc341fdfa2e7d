#include "check/recovery_status.h"

#include <cstdio>

#include "archive/format/format.h"
#include "shell/progress.h"

namespace qev::check {

uint64_t RecoveryStatus::runBytes() const {
    if (!damage || damage->spare == 0) return 0;
    // Each group takes one cell of every G in a run, so G cells a spare parity cell.
    uint64_t cells = uint64_t(damage->spare) * damage->layout.geometry.groups;
    return (cells - 1) * kCellSize;
}

RecoveryStatus assessRecovery(const ArchiveFile& file, bool damaged, Console& console, bool showProgress, bool json) {
    RecoveryStatus status;
    std::optional<uint64_t> size = file.size();
    if (!size) return status;
    uint8_t footer[kFooterSize];
    bool footerRead = *size >= kFooterSize && file.readAt(*size - kFooterSize, footer, kFooterSize);
    std::optional<RecoveryLayout> layout = findRecoveryRecord(*size, footerRead ? footer : nullptr, file, damaged);
    if (!layout) return status;
    status.present = true;
    ProgressLine progress(console, showProgress, json);
    status.damage = assessDamage(*layout, file, damaged, [&](uint64_t done, uint64_t total) {
        progress.update(unitCounts(done, total, kCellSize, "sectors compared"));
    });
    if (!status.damage) status.unreadable = "a read of the archive failed";
    return status;
}

void judgeFindings(const RecoveryStatus& status, Findings& findings) {
    if (!status.damage) return;
    const RecoveryDamage& d = *status.damage;
    uint64_t own = d.ownParts();
    if (own > 0) {
        std::string text = "The recovery record is damaged: ";
        text += std::to_string(own);
        text += own == 1 ? " of its sectors differs from its hash" : " of its sectors differ from their hashes";
        findings.errorAt("recovery-damaged", d.layout.recordOffset, d.layout.recordSize(), std::move(text));
    }
    for (Finding& f : findings.items) {
        if (!f.error) continue;
        if (f.kind == "recovery-damaged") {
            f.repairable = d.table.lost == 0 && !d.headersLost();
            if (d.headersLost()) {
                f.whyNot = std::string(kHeadersLost);
                continue;
            }
        } else if (!d.dataScanned) {
            f.repairable = false;
        } else if (f.size > 0) {
            f.repairable = d.canRebuild(f.offset, f.size);
        } else {
            // Without a range, only damage that is all rebuilt can be the cause.
            f.repairable = !d.dataCells.empty() && d.repairable();
        }
        if (!*f.repairable) f.whyNot = whyNotRepairable(d, f);
    }
}

std::string whyNotRepairable(const RecoveryDamage& d, const Finding& f) {
    bool damageThere = f.size > 0 ? d.touches(f.offset, f.size) : !d.dataCells.empty();
    if (d.table.lost != 0 || (damageThere && !d.repairable())) return d.whyNot();
    return "its sectors agree with the recovery record, which holds these bytes as they are";
}

std::string percentText(uint32_t hundredths) {
    char text[32];
    if (hundredths % 100 == 0) {
        std::snprintf(text, sizeof text, "%u%%", hundredths / 100);
    } else if (hundredths % 10 == 0) {
        std::snprintf(text, sizeof text, "%u.%u%%", hundredths / 100, hundredths % 100 / 10);
    } else {
        std::snprintf(text, sizeof text, "%u.%02u%%", hundredths / 100, hundredths % 100);
    }
    return text;
}

}  // namespace qev::check
