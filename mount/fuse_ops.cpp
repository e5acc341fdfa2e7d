// The FUSE side of the mount: the low-level operations and the session loop.
#include "mount/fuse_ops.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace qev::mount {
namespace {

// The archive never changes while mounted, so the kernel may keep what it learns.
constexpr double kCacheSeconds = 3600.0;

MountTree& treeOf(fuse_req_t req) { return *static_cast<MountTree*>(fuse_req_userdata(req)); }

void replyEntry(fuse_req_t req, MountTree& t, NodeId node) {
    fuse_entry_param e{};
    e.ino = inodeOf(node);
    e.attr = t.attributes(node);
    e.attr_timeout = e.entry_timeout = kCacheSeconds;
    fuse_reply_entry(req, &e);
}

void lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    MountTree& t = treeOf(req);
    NodeId dir = nodeOf(parent);
    if (!t.index().isDirectory(dir)) return (void)fuse_reply_err(req, ENOTDIR);
    NodeId node = t.lookup(dir, name);
    if (node == kInvalidNode) return (void)fuse_reply_err(req, ENOENT);
    replyEntry(req, t, node);
}

void getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    MountTree& t = treeOf(req);
    NodeId node = nodeOf(ino);
    if (!t.shows(node)) return (void)fuse_reply_err(req, ENOENT);
    struct stat st = t.attributes(node);
    fuse_reply_attr(req, &st, kCacheSeconds);
}

void opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    if (treeOf(req).directory(nodeOf(ino)) == nullptr) return (void)fuse_reply_err(req, ENOTDIR);
    fi->cache_readdir = 1;
    fi->keep_cache = 1;
    fuse_reply_open(req, fi);
}

// Offsets: 0 is ".", 1 is "..", 2 + i the i-th visible child.
void readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
    MountTree& t = treeOf(req);
    const DirectoryIndex* index = t.directory(nodeOf(ino));
    if (index == nullptr) return (void)fuse_reply_err(req, ENOTDIR);
    std::vector<char> buffer(size);
    size_t used = 0;
    for (size_t at = size_t(offset); at < 2 + index->children.size(); ++at) {
        struct stat st {};
        std::string name;
        if (at < 2) {
            name = at == 0 ? "." : "..";
            st.st_ino = ino;
            st.st_mode = S_IFDIR;
        } else {
            NodeId child = index->children[at - 2];
            name = std::string(t.index().entryName(child));
            st.st_ino = inodeOf(child);
            st.st_mode = t.attributes(child).st_mode;
        }
        size_t need = fuse_add_direntry(req, buffer.data() + used, size - used, name.c_str(), &st, off_t(at + 1));
        if (need > size - used) break;
        used += need;
    }
    fuse_reply_buf(req, buffer.data(), used);
}

void init(void* userdata, fuse_conn_info* conn) {
    // Opening carries no state here, so each open would only cost a round trip.
    if (conn->capable & FUSE_CAP_NO_OPEN_SUPPORT) {
        conn->want |= FUSE_CAP_NO_OPEN_SUPPORT;
        static_cast<MountTree*>(userdata)->noOpen = true;
    }
}

void open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    MountTree& t = treeOf(req);
    NodeId node = nodeOf(ino);
    if (t.index().isDirectory(node)) return (void)fuse_reply_err(req, EISDIR);
    if (!t.index().isFile(node)) return (void)fuse_reply_err(req, ENOENT);
    if ((fi->flags & O_ACCMODE) != O_RDONLY) return (void)fuse_reply_err(req, EROFS);
    if (t.noOpen) return (void)fuse_reply_err(req, ENOSYS);  // success, and no more opens
    fi->keep_cache = 1;
    fuse_reply_open(req, fi);
}

void read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
    thread_local std::vector<char> buffer;
    if (buffer.size() < size) buffer.resize(size);
    long n = treeOf(req).read(nodeOf(ino), uint64_t(offset), size, buffer.data());
    if (n < 0) return (void)fuse_reply_err(req, int(-n));
    fuse_reply_buf(req, buffer.data(), size_t(n));
}

// Everything that would change the archive.
void refuse(fuse_req_t req) { fuse_reply_err(req, EROFS); }

fuse_lowlevel_ops operations() {
    fuse_lowlevel_ops ops{};
    ops.init = init;
    ops.lookup = lookup;
    ops.getattr = getattr;
    ops.opendir = opendir;
    ops.readdir = readdir;
    ops.open = open;
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

int serveMount(fuse_args& args, const fuse_cmdline_opts& opts, MountTree& tree) {
    fuse_lowlevel_ops ops = operations();
    fuse_session* se = fuse_session_new(&args, &ops, sizeof ops, &tree);
    if (se == nullptr) return 1;
    int rc = 1;
    if (fuse_set_signal_handlers(se) == 0) {
        if (fuse_session_mount(se, opts.mountpoint) == 0) {
            fuse_daemonize(opts.foreground);
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
