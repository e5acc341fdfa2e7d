// What qev-pack's parts share: the failure that ends packing, and what a source file was
// when it was listed.
#pragma once

#include <stdexcept>

#include "system/file_time.h"

namespace qev::pack {

// A failure worth one "Error: " line; the message is the line without that prefix.
struct PackError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Throws "Interrupted" once SIGINT or SIGTERM was caught; called often enough (each
// directory listed, each piece read) that a stop is noticed within a tenth of a second.
void stopIfAsked();

// What a file was when it was seen: reading it later must find the same. The change time
// catches a rewrite whose modification time was put back; a listing on Windows does not
// give it, so there it is 0, "not known yet".
struct FileStamp {
    FileTime modified = 0;
    FileTime changed = 0;

    // Whether a file seen now (`now`, all known) may still be the file seen as this.
    bool admits(const FileStamp& now) const {
        return modified == now.modified && (changed == 0 || changed == now.changed);
    }
    bool operator==(const FileStamp&) const = default;
};

}  // namespace qev::pack
