#include "mount/run_mount.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "archive/archive_index.h"
#include "shell/program.h"
#include "mount/fuse_ops.h"
#include "system/posix/stat_fields.h"
#include "system/process.h"

namespace qev::mount {
namespace {

constexpr std::string_view kUsage = "Usage: qev-mount ARCHIVE MOUNTPOINT [options]";

struct Arguments {
    std::string archive;
    bool unproven = false;  // -o unproven: mount even where nothing proves the blocks
};

enum { kKeyUnproven = 1 };
const fuse_opt kOwnOptions[] = {FUSE_OPT_KEY("unproven", kKeyUnproven), FUSE_OPT_END};

// The first non-option argument is the archive; FUSE keeps the rest (the mount point).
int takeArchive(void* data, const char* arg, int key, fuse_args*) {
    auto* a = static_cast<Arguments*>(data);
    if (key == kKeyUnproven) {
        a->unproven = true;
        return 0;
    }
    if (key == FUSE_OPT_KEY_NONOPT && a->archive.empty()) {
        a->archive = arg;
        return 0;
    }
    return 1;
}

// Frees what fuse_opt_parse and fuse_parse_cmdline allocate, on every path.
struct ParsedArguments {
    fuse_args args;
    fuse_cmdline_opts opts{};
    ~ParsedArguments() {
        std::free(opts.mountpoint);
        fuse_opt_free_args(&args);
    }
};

int mountArchive(ParsedArguments& parsed, const Arguments& a, Console& console) {
    const std::string& path = a.archive;
    ProvenArchive proven = openProvenOrReport(path, false, console);
    if (!proven.index) return 1;
    if (proven.unproven && !a.unproven) {
        printError(console, "Error: Not mounted: " + path + ": ",
                   "the integrity record is damaged and no recovery record proves the blocks instead "
                   "(see qev-check; -o unproven mounts it anyway)");
        return 1;
    }
    const SharedIndex& index = proven.index;
    // The times shown are the open file's, not those of whatever the path names now.
    struct stat archive {};
    if (auto opened = index->file().openedStatus()) {
        archive.st_atim = timespecOf(opened->accessed);
        archive.st_mtim = timespecOf(opened->modified);
        archive.st_ctim = timespecOf(opened->changed);
    }
    ProcessUser user = processUser();
    MountTree tree(index, archive, user.user, user.group, mountReaderCount(), proven.blockHashes);
    fuse_opt_add_arg(&parsed.args, "-oro,default_permissions,fsname=qev,subtype=qev");
    return serveMount(parsed.args, parsed.opts, tree);
}

}  // namespace

unsigned mountReaderCount() {
    return std::min(defaultJobs(), kMaxReaders);
}

int runMount(int argc, const char* const* argv, Console& console) {
    // libfuse keeps its own copy of the arguments and never writes through these pointers.
    ParsedArguments parsed{FUSE_ARGS_INIT(argc, const_cast<char**>(argv))};
    Arguments a;
    if (fuse_opt_parse(&parsed.args, &a, kOwnOptions, takeArchive) != 0 ||
        fuse_parse_cmdline(&parsed.args, &parsed.opts) != 0) {
        printError(console, kErrorPrefix, "Invalid arguments (" + std::string(kUsage) + ")");
        return 1;
    }
    if (parsed.opts.show_help) {
        printLine(console, kUsage);
        printLine(console, "");
        printLine(console, "    -o unproven            mount even when the integrity record is damaged and no");
        printLine(console, "                           recovery record proves the blocks");
        printLine(console, "");
        console.out.flush();
        fuse_cmdline_help();
        fuse_lowlevel_help();
        return 0;
    }
    if (parsed.opts.show_version) {
        printLine(console, "qev-mount version " QEV_VERSION);
        console.out.flush();
        fuse_lowlevel_version();
        return 0;
    }
    if (a.archive.empty() || parsed.opts.mountpoint == nullptr) {
        printError(console, "Error: Missing QEV file path or mount point");
        printLine(console, kUsage);
        return 1;
    }
    return mountArchive(parsed, a, console);
}

}  // namespace qev::mount
