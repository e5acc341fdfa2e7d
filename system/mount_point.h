// Whether a folder can take a mount (FUSE, on Linux), and if not, why: what a user needs to
// hear before FUSE says only "bad mount point".
#pragma once

#include <cstdint>
#include <string>

namespace qev {

enum class MountPoint : uint8_t {
    kUsable,
    kMissing,
    kNotAFolder,
    kMounted,       // something is mounted there already
    kDisconnected,  // a FUSE mount whose daemon is gone ("Transport endpoint is not connected")
    kUnreadable,
};
MountPoint checkMountPoint(const std::string& path);

}  // namespace qev
