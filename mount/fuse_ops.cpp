// The FUSE side of the mount: the low-level operations and the session loop.
#include "mount/fuse_ops.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace qev::mount {
namespace {

// What lies below an archive's root never changes under its inode numbers (a replaced
// archive gets new ones), so the kernel may keep what it learns. The root's entries are
// asked for again soon, since archives come, go and are replaced under them.
constexpr double kCacheSeconds = 3600.0;
constexpr double kRootSeconds = 1.0;

MountTree& treeOf(fuse_req_t req) { return *static_cast<MountTree*>(fuse_req_userdata(req)); }

// Nothing may leave a callback of libfuse's as an exception: a request that runs out of
// memory fails with ENOMEM, any other failure with EIO, and the mount stays up.
template <typename Body>
void guarded(fuse_req_t req, Body&& body) {
    try {
        body();
    } catch (const std::bad_alloc&) {
        fuse_reply_err(req, ENOMEM);
    } catch (...) {
        fuse_reply_err(req, EIO);
    }
}

// A handle the kernel keeps (an open directory or file) belongs to fi->fh from a
// successful reply to its release.
template <typename Handle>
void replyOpen(fuse_req_t req, fuse_file_info* fi, std::unique_ptr<Handle> handle) {
    fi->fh = reinterpret_cast<uint64_t>(handle.get());
    if (fuse_reply_open(req, fi) == 0) (void)handle.release();
}

template <typename Handle>
void release(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    delete reinterpret_cast<Handle*>(fi->fh);
    fuse_reply_err(req, 0);
}

void lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    guarded(req, [&] {
        auto found = treeOf(req).lookup(parent, name);
        if (!found) return (void)fuse_reply_err(req, found.error());
        fuse_entry_param e{};
        e.ino = found->st_ino;
        e.attr = *found;
        e.attr_timeout = kCacheSeconds;
        e.entry_timeout = parent == kRootInode ? kRootSeconds : kCacheSeconds;
        fuse_reply_entry(req, &e);
    });
}

void getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    guarded(req, [&] {
        auto st = treeOf(req).attributes(ino);
        if (!st) return (void)fuse_reply_err(req, st.error());
        fuse_reply_attr(req, &*st, ino == kRootInode ? kRootSeconds : kCacheSeconds);
    });
}

void opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    guarded(req, [&] {
        auto dir = treeOf(req).openDirectory(ino);
        if (!dir) return (void)fuse_reply_err(req, dir.error());
        // The root's listing changes with the sources; every other one never does.
        fi->cache_readdir = ino != kRootInode;
        fi->keep_cache = ino != kRootInode;
        replyOpen(req, fi, std::move(*dir));
    });
}

// Listings carry names and kinds only: `find` needs no more, and listings with attributes
// would have the kernel set up an inode for every name, which costs a walk of a million
// entries twice its time.
void readdir(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi) {
    guarded(req, [&] {
        const auto& dir = *reinterpret_cast<const OpenDirectory*>(fi->fh);
        std::vector<char> buffer(size);
        size_t used = 0;
        int error =
            treeOf(req).list(dir, uint64_t(offset), [&](const std::string& name, const struct stat& st, uint64_t next) {
                size_t need = fuse_add_direntry(req, buffer.data() + used, size - used, name.c_str(), &st, off_t(next));
                if (need > size - used) return false;
                used += need;
                return true;
            });
        if (error != 0 && used == 0) return (void)fuse_reply_err(req, error);
        fuse_reply_buf(req, buffer.data(), used);
    });
}

void open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    guarded(req, [&] {
        if ((fi->flags & O_ACCMODE) != O_RDONLY) return (void)fuse_reply_err(req, EROFS);
        auto file = treeOf(req).openFile(ino);
        if (!file) return (void)fuse_reply_err(req, file.error());
        fi->keep_cache = 1;
        replyOpen(req, fi, std::move(*file));
    });
}

void read(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi) {
    guarded(req, [&] {
        std::unique_ptr<char[]> buffer(new char[size]);  // every byte replied is written first
        long n = treeOf(req).read(*reinterpret_cast<const OpenFile*>(fi->fh), uint64_t(offset), size, buffer.get());
        if (n < 0) return (void)fuse_reply_err(req, int(-n));
        fuse_reply_buf(req, buffer.get(), size_t(n));
    });
}

// Everything that would change the archive.
void refuse(fuse_req_t req) { fuse_reply_err(req, EROFS); }

fuse_lowlevel_ops operations() {
    fuse_lowlevel_ops ops{};
    ops.lookup = lookup;
    ops.getattr = getattr;
    ops.opendir = opendir;
    ops.releasedir = release<OpenDirectory>;
    ops.readdir = readdir;
    ops.open = open;
    ops.release = release<OpenFile>;
    ops.read = read;
    ops.setattr = [](fuse_req_t r, fuse_ino_t, struct stat*, int, fuse_file_info*) { refuse(r); };
    ops.mknod = [](fuse_req_t r, fuse_ino_t, const char*, mode_t, dev_t) { refuse(r); };
    ops.mkdir = [](fuse_req_t r, fuse_ino_t, const char*, mode_t) { refuse(r); };
    ops.unlink = [](fuse_req_t r, fuse_ino_t, const char*) { refuse(r); };
    ops.rmdir = [](fuse_req_t r, fuse_ino_t, const char*) { refuse(r); };
    ops.symlink = [](fuse_req_t r, const char*, fuse_ino_t, const char*) { refuse(r); };
    ops.rename = [](fuse_req_t r, fuse_ino_t, const char*, fuse_ino_t, const char*, unsigned) { refuse(r); };
    ops.link = [](fuse_req_t r, fuse_ino_t, fuse_ino_t, const char*) { refuse(r); };
    ops.write = [](fuse_req_t r, fuse_ino_t, const char*, size_t, off_t, fuse_file_info*) { refuse(r); };
    ops.create = [](fuse_req_t r, fuse_ino_t, const char*, mode_t, fuse_file_info*) { refuse(r); };
    ops.setxattr = [](fuse_req_t r, fuse_ino_t, const char*, const char*, size_t, int) { refuse(r); };
    ops.removexattr = [](fuse_req_t r, fuse_ino_t, const char*) { refuse(r); };
    return ops;
}

}  // namespace

int serveMount(fuse_args& args, const fuse_cmdline_opts& opts, MountTree& tree, const std::function<void()>& detached) {
    fuse_lowlevel_ops ops = operations();
    fuse_session* se = fuse_session_new(&args, &ops, sizeof ops, &tree);
    if (se == nullptr) return 1;
    int rc = 1;
    if (fuse_set_signal_handlers(se) == 0) {
        if (fuse_session_mount(se, opts.mountpoint) == 0) {
            fuse_daemonize(opts.foreground);
            if (!opts.foreground) detached();
            if (opts.singlethread) {
                rc = fuse_session_loop(se);
            } else {
                fuse_loop_config* config = fuse_loop_cfg_create();
                fuse_loop_cfg_set_clone_fd(config, opts.clone_fd);
                fuse_loop_cfg_set_max_threads(config, opts.max_threads);
                rc = fuse_session_loop_mt(se, config);
                fuse_loop_cfg_destroy(config);
            }
            fuse_session_unmount(se);
        }
        fuse_remove_signal_handlers(se);
    }
    fuse_session_destroy(se);
    return rc == 0 ? 0 : 1;
}

}  // namespace qev::mount
