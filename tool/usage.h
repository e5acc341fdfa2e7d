#pragma once

#include <ostream>

namespace qev::tool {

// Writes the eleven lines of usage text, each flushed as it is complete.
void printUsage(const char* invocationName, std::ostream& out);

}  // namespace qev::tool
