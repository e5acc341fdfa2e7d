// What the Windows half's files share.
#pragma once

#include <optional>

#include "system/file.h"

namespace qev {

// The kind of an entry from its Windows attributes.
FileKind kindOfAttributes(unsigned long attributes);

// Which file an open handle is: volume serial number and file index.
std::optional<FileIdentity> identityOfHandle(void* handle);

}  // namespace qev
