#include "check/rebuild.h"

#include <algorithm>

namespace qev::check {

bool Rebuilt::remains(const Finding& finding) const {
    if (!patches || !after.opened) return true;
    return std::any_of(after.findings.items.begin(), after.findings.items.end(),
                       [&](const Finding& g) { return g.kind == finding.kind && g.text == finding.text; });
}

Rebuilt rebuildAndRecheck(const Options& o, const ArchiveFile& file, const RecoveryDamage& damage) {
    Rebuilt r;
    r.patches = rebuildDamage(damage, file, r.why);
    if (!r.patches) return r;
    Repaired counted{0, r.patches->size()};
    for (const Patch& p : *r.patches) counted.bytes += p.bytes.size();
    r.after = inspectPatched(o, file, *r.patches, counted);
    return r;
}

}  // namespace qev::check
