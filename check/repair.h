// qev-check --repair: damaged bytes rebuilt from the recovery record, checked as a whole
// archive before anything is written, then written back in place and made durable.
#pragma once

#include "check/options.h"
#include "shell/console.h"

namespace qev::check {

// Returns 0 only when the archive is sound afterwards. Damage beyond repair is refused
// with one error line, and nothing is written.
int repairArchive(const Options& o, Console& console);

}  // namespace qev::check
