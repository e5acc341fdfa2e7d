#pragma once

#include <functional>

#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>

#include "mount/mount_tree.h"

namespace qev::mount {

// Mounts `tree` at the options' mount point and serves it until it is unmounted. Returns
// the exit code.
// `detached` is called once the mount runs in the background (not with -f), when its
// standard error goes nowhere any more.
int serveMount(fuse_args& args, const fuse_cmdline_opts& opts, MountTree& tree, const std::function<void()>& detached);

}  // namespace qev::mount
