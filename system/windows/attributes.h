// What the Windows half's files share.
#pragma once

#include "system/file.h"

namespace qev {

// The kind of an entry from its Windows attributes.
FileKind kindOfAttributes(unsigned long attributes);

}  // namespace qev
