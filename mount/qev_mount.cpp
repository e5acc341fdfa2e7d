// qev-mount ARCHIVE MOUNTPOINT [options]: a QEV archive as a read-only filesystem.
#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <memory>
#include <thread>
#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "mount/mount_tree.h"

namespace {

using qev::NodeId;
using qev::mount::MountTree;

// The archive never changes while mounted, so the kernel may keep what it learns.
constexpr double kCacheSeconds = 3600.0;

MountTree& treeOf(fuse_req_t req) { return *static_cast<MountTree*>(fuse_req_userdata(req)); }

bool exists(MountTree& t, NodeId node) {
    return t.reader().isFile(node) || t.reader().isDirectory(node);
}

void replyEntry(fuse_req_t req, MountTree& t, NodeId node) {
    fuse_entry_param e{};
    e.ino = qev::mount::inodeOf(node);
    e.attr = t.attributes(node);
    e.attr_timeout = e.entry_timeout = kCacheSeconds;
    fuse_reply_entry(req, &e);
}

void lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    MountTree& t = treeOf(req);
    NodeId dir = qev::mount::nodeOf(parent);
    if (!t.reader().isDirectory(dir)) return (void)fuse_reply_err(req, ENOTDIR);
    NodeId node = t.lookup(dir, name);
    if (node == qev::kInvalidNode) return (void)fuse_reply_err(req, ENOENT);
    replyEntry(req, t, node);
}

void getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    MountTree& t = treeOf(req);
    NodeId node = qev::mount::nodeOf(ino);
    if (!exists(t, node)) return (void)fuse_reply_err(req, ENOENT);
    struct stat st = t.attributes(node);
    fuse_reply_attr(req, &st, kCacheSeconds);
}

void opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    if (treeOf(req).directory(qev::mount::nodeOf(ino)) == nullptr) return (void)fuse_reply_err(req, ENOTDIR);
    fi->cache_readdir = 1;
    fi->keep_cache = 1;
    fuse_reply_open(req, fi);
}

// Offsets: 0 is ".", 1 is "..", 2 + i the i-th visible child.
void readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
    MountTree& t = treeOf(req);
    const qev::mount::DirectoryIndex* index = t.directory(qev::mount::nodeOf(ino));
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
            name = std::string(t.reader().entryName(child));
            st.st_ino = qev::mount::inodeOf(child);
            st.st_mode = t.attributes(child).st_mode;
        }
        size_t need = fuse_add_direntry(req, buffer.data() + used, size - used, name.c_str(), &st, off_t(at + 1));
        if (need > size - used) break;
        used += need;
    }
    fuse_reply_buf(req, buffer.data(), used);
}

// Set when the kernel agreed to skip open and release once open answers ENOSYS.
bool gNoOpen = false;

void init(void*, fuse_conn_info* conn) {
    // Opening carries no state here, so each open would only cost a round trip.
    if (conn->capable & FUSE_CAP_NO_OPEN_SUPPORT) {
        conn->want |= FUSE_CAP_NO_OPEN_SUPPORT;
        gNoOpen = true;
    }
}

void open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    MountTree& t = treeOf(req);
    NodeId node = qev::mount::nodeOf(ino);
    if (t.reader().isDirectory(node)) return (void)fuse_reply_err(req, EISDIR);
    if (!t.reader().isFile(node)) return (void)fuse_reply_err(req, ENOENT);
    if ((fi->flags & O_ACCMODE) != O_RDONLY) return (void)fuse_reply_err(req, EROFS);
    if (gNoOpen) return (void)fuse_reply_err(req, ENOSYS);  // success, and no more opens
    fi->keep_cache = 1;
    fuse_reply_open(req, fi);
}

void read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
    thread_local std::vector<char> buffer;
    if (buffer.size() < size) buffer.resize(size);
    long n = treeOf(req).read(qev::mount::nodeOf(ino), uint64_t(offset), size, buffer.data());
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

struct Arguments {
    std::string archive;
};

// The first non-option argument is the archive; FUSE keeps the rest (the mount point).
int takeArchive(void* data, const char* arg, int key, fuse_args*) {
    auto* a = static_cast<Arguments*>(data);
    if (key == FUSE_OPT_KEY_NONOPT && a->archive.empty()) {
        a->archive = arg;
        return 0;
    }
    return 1;
}

// One more reader per further core, unless the tables are large: each reader holds its
// own copy of them.
void addReaders(MountTree& tree, const std::string& archive) {
    constexpr uint64_t kMaxCopiedTables = 64ull << 20;
    if (tree.reader().tableBytes() > kMaxCopiedTables) return;
    unsigned cores = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
    for (unsigned i = 1; i < cores; ++i) {
        if (auto extra = qev::openArchive(archive)) tree.addReader(std::move(extra));
    }
}

void usage(FILE* to) { std::fprintf(to, "Usage: qev-mount ARCHIVE MOUNTPOINT [options]\n"); }

int serve(fuse_args& args, const fuse_cmdline_opts& opts, MountTree& tree) {
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

}  // namespace

int main(int argc, char** argv) {
    fuse_args args = FUSE_ARGS_INIT(argc, argv);
    Arguments a;
    fuse_cmdline_opts opts{};
    if (fuse_opt_parse(&args, &a, nullptr, takeArchive) != 0 || fuse_parse_cmdline(&args, &opts) != 0) {
        return 1;
    }
    std::unique_ptr<char, decltype(&std::free)> mountpoint(opts.mountpoint, &std::free);
    int rc = 1;
    if (opts.show_help) {
        usage(stdout);
        std::printf("\n");
        fuse_cmdline_help();
        fuse_lowlevel_help();
        rc = 0;
    } else if (opts.show_version) {
        std::printf("qev-mount version %s\n", QEV_VERSION);
        fuse_lowlevel_version();
        rc = 0;
    } else if (a.archive.empty() || opts.mountpoint == nullptr) {
        std::fprintf(stderr, "Error: Missing QEV file path or mount point\n");
        usage(stderr);
    } else if (std::unique_ptr<qev::ArchiveReader> reader = qev::openArchive(a.archive)) {
        struct stat archive {};
        ::stat(a.archive.c_str(), &archive);
        MountTree tree(*reader, archive, ::getuid(), ::getgid());
        addReaders(tree, a.archive);
        fuse_opt_add_arg(&args, "-oro,default_permissions,fsname=qev,subtype=qev");
        rc = serve(args, opts, tree);
    } else {
        std::fprintf(stderr, "Error: Failed to open QEV file: %s\n", a.archive.c_str());
    }
    fuse_opt_free_args(&args);
    return rc;
}
