#pragma once

#include "console/console.h"

namespace qev::check {

// qev-check ARCHIVE [options]: checks an archive's structure and data and describes what
// it holds. Returns 0 when nothing makes a file unreadable or unreachable, else 1.
int runCheck(int argc, const char* const* argv, Console& console);

}  // namespace qev::check
