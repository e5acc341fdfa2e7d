#include "system/mount_point.h"

#include <sys/stat.h>

#include <cerrno>

namespace qev {

MountPoint checkMountPoint(const std::string& path) {
    struct stat here {};
    if (::stat(path.c_str(), &here) != 0) {
        if (errno == ENOENT) return MountPoint::kMissing;
        return errno == ENOTCONN ? MountPoint::kDisconnected : MountPoint::kUnreadable;
    }
    if (!S_ISDIR(here.st_mode)) return MountPoint::kNotAFolder;
    // A folder on another device than its parent is the root of a mount.
    struct stat parent {};
    if (::stat((path + "/..").c_str(), &parent) == 0 &&
        (parent.st_dev != here.st_dev || parent.st_ino == here.st_ino)) {
        return MountPoint::kMounted;
    }
    return MountPoint::kUsable;
}

}  // namespace qev
