// DEST, opened for writing into: created with its parents when missing, refused when it
// holds anything unless forced.
#pragma once

#include <string>

#include "system/directory.h"

namespace qev::unpack {

// The open destination, or the text of the error line (without "Error: ").
Expected<SharedDir, std::string> openDestination(const std::string& path, bool force);

}  // namespace qev::unpack
