#include "mount/run_mount.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "archive/read/archive_index.h"
#include "mount/fuse_ops.h"
#include "shell/program.h"
#include "system/mount_point.h"
#include "system/posix/stat_fields.h"
#include "system/process.h"
#include "system/text.h"

namespace qev::mount {
namespace {

constexpr std::string_view kUsage = "Usage: qev-mount [OPTIONS] SOURCE... MOUNTPOINT";

// Table pages and directory indexes the mount keeps, whatever the archives hold.
constexpr uint32_t kTablePages = 64;  // of 4 KiB: 256 KiB
constexpr size_t kDirectoryBudget = size_t(256) << 10;
constexpr uint64_t kDefaultCacheBytes = uint64_t(512) << 10;
constexpr unsigned kDefaultMaxOpen = 64;

struct Arguments {
    std::vector<std::string> positional;  // the sources, then the mount point
    bool unproven = false;                // -o unproven: mount even where nothing proves the blocks
    bool ignoreCase = false;              // -o ignore_case
    unsigned maxOpen = kDefaultMaxOpen;
    char* cacheSize = nullptr;  // -o cache_size=SIZE, as given
    bool bad = false;
};

enum { kKeyUnproven = 1, kKeyIgnoreCase };
const fuse_opt kOwnOptions[] = {FUSE_OPT_KEY("unproven", kKeyUnproven),
                                FUSE_OPT_KEY("ignore_case", kKeyIgnoreCase),
                                {"max_open=%u", offsetof(Arguments, maxOpen), 0},
                                {"cache_size=%s", offsetof(Arguments, cacheSize), 0},
                                FUSE_OPT_END};

int takeArgument(void* data, const char* arg, int key, fuse_args*) {
    auto* a = static_cast<Arguments*>(data);
    if (key == kKeyUnproven) a->unproven = true;
    if (key == kKeyIgnoreCase) a->ignoreCase = true;
    if (key == FUSE_OPT_KEY_NONOPT) a->positional.push_back(arg);
    return key == FUSE_OPT_KEY_OPT ? 1 : 0;
}

// Bytes from "64M", "512K", "1G" or a plain number; nothing when it does not read so.
std::optional<uint64_t> parseBytes(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])) || errno != 0) return std::nullopt;
    std::string unit = end;
    int shift = unit.empty()                 ? 0
                : unit == "K" || unit == "k" ? 10
                : unit == "M" || unit == "m" ? 20
                : unit == "G" || unit == "g" ? 30
                                             : -1;
    if (shift < 0 || n > (uint64_t(1) << 40) >> shift) return std::nullopt;
    return uint64_t(n) << shift;
}

// Frees what fuse_opt_parse and fuse_parse_cmdline allocate, on every path.
struct ParsedArguments {
    fuse_args args;
    fuse_cmdline_opts opts{};
    Arguments own;
    ~ParsedArguments() {
        std::free(opts.mountpoint);
        std::free(own.cacheSize);
        fuse_opt_free_args(&args);
    }
};

// Each SOURCE as the collection takes it: a folder by its real path, since the mount
// runs on after leaving the working directory, and an archive by its absolute path.
std::vector<Source> sourcesOf(const std::vector<std::string>& named) {
    std::vector<Source> sources;
    for (const std::string& n : named) {
        std::error_code ec;
        std::filesystem::path p = pathFromUtf8(n);
        bool folder = std::filesystem::is_directory(p, ec);
        std::filesystem::path full = folder ? std::filesystem::canonical(p, ec) : std::filesystem::absolute(p, ec);
        sources.push_back(Source{ec ? n : utf8FromPath(full), n, folder});
    }
    return sources;
}

// What is wrong with the mount point, in a line for people; nothing when it can take the mount.
std::optional<std::string> mountPointProblem(const std::string& path) {
    switch (checkMountPoint(path)) {
        case MountPoint::kUsable: return std::nullopt;
        case MountPoint::kMissing: return "The mount point does not exist (make it with mkdir first): " + path;
        case MountPoint::kNotAFolder: return "The mount point is not a folder: " + path;
        case MountPoint::kMounted:
            return "Something is mounted at " + path + " already (fusermount3 -u " + path + " unmounts it)";
        case MountPoint::kDisconnected:
            return "The mount at " + path + " lost its program: unmount it with fusermount3 -u " + path +
                   ", then mount again";
        case MountPoint::kUnreadable: return "Cannot use the mount point " + path + ": " + lastSystemError();
    }
    return std::nullopt;
}

void printHelp(Console& console) {
    printLine(console, kUsage);
    printLine(console, "");
    printLine(console, "Each SOURCE is an archive or a folder of archives (every *.qev in it); the mount's");
    printLine(console, "root shows the root entries of them all.");
    printLine(console, "");
    printLine(console, "    -o ignore_case         look names up without regard to ASCII letter case");
    printLine(console, "    -o max_open=N          archives held open at once (default 64)");
    printLine(console, "    -o cache_size=SIZE     decompressed blocks kept for all archives, in bytes,");
    printLine(console, "                           or with K, M or G (default 512K)");
    printLine(console, "    -o unproven            mount even when the integrity record is damaged and no");
    printLine(console, "                           recovery record proves the blocks");
    printLine(console, "");
    console.out.flush();
    fuse_cmdline_help();
    fuse_lowlevel_help();
}

int mountSources(ParsedArguments& parsed, std::vector<Source> sources, uint64_t cacheBytes, Console& console) {
    const Arguments& a = parsed.own;
    keepServerMemoryLean();
    auto tablePages = std::make_shared<SharedCache>(kTablePages, ArchiveIndex::kTablePageSize);
    SharedCache blocks(uint32_t(std::max<uint64_t>(1, cacheBytes / kBlockSize)), kBlockSize);
    struct stat rootTimes {};
    if (auto first = linkStatus(pathFromUtf8(sources.front().path))) {
        rootTimes.st_atim = timespecOf(first->accessed);
        rootTimes.st_mtim = timespecOf(first->modified);
        rootTimes.st_ctim = timespecOf(first->changed);
    }
    // Half the descriptors the process may have, at most, are archives held for speed: the
    // rest are for files open through the mount, folders being listed and FUSE itself.
    unsigned maxOpen = a.maxOpen;
    if (std::optional<uint64_t> limit = openFileLimit())
        maxOpen = unsigned(std::clamp<uint64_t>(*limit / 2, 1, maxOpen));
    // Warnings go to the terminal until the mount detaches, then to the system log.
    std::atomic<bool> toLog{false};
    Collection collection(std::move(sources), {maxOpen, a.unproven, a.ignoreCase}, tablePages, blocks,
                          [&](const std::string& line) {
                              if (toLog) {
                                  writeSystemLog("Warning: " + line);
                              } else {
                                  printWarning(console, line);
                              }
                          });
    if (std::optional<std::string> error = collection.start()) {
        printError(console, *error);
        return 1;
    }
    // The first look at every source, while the terminal still shows what it finds (a title
    // hidden by another archive's, an archive skipped).
    collection.listRoot();
    ProcessUser user = processUser();
    MountTree tree(collection, blocks,
                   {rootTimes, user.user, user.group, mountReaderCount(), a.ignoreCase, kDirectoryBudget});
    fuse_opt_add_arg(&parsed.args, "-oro,default_permissions,fsname=qev,subtype=qev");
    return serveMount(parsed.args, parsed.opts, tree, [&] {
        openSystemLog("qev-mount");
        toLog = true;
    });
}

}  // namespace

unsigned mountReaderCount() { return std::min(defaultJobs(), kMaxReaders); }

int runMount(int argc, const char* const* argv, Console& console) {
    // libfuse keeps its own copy of the arguments and never writes through these pointers.
    ParsedArguments parsed{FUSE_ARGS_INIT(argc, const_cast<char**>(argv)), {}, {}};
    Arguments& a = parsed.own;
    bool parsedOk = fuse_opt_parse(&parsed.args, &a, kOwnOptions, takeArgument) == 0;
    // The last positional argument is the mount point, which FUSE's own parsing takes, and
    // which is looked at first so that what is wrong with it gets a line of its own.
    std::optional<uint64_t> cacheBytes = a.cacheSize ? parseBytes(a.cacheSize) : kDefaultCacheBytes;
    bool ownOk = parsedOk && cacheBytes && a.maxOpen != 0;
    if (ownOk && a.positional.size() >= 2) {
        if (std::optional<std::string> wrong = mountPointProblem(a.positional.back())) {
            printError(console, kErrorPrefix, *wrong);
            return 1;
        }
        fuse_opt_add_arg(&parsed.args, a.positional.back().c_str());
    }
    if (!ownOk || fuse_parse_cmdline(&parsed.args, &parsed.opts) != 0) {
        printError(console, kErrorPrefix, "Invalid arguments (" + std::string(kUsage) + ")");
        return 1;
    }
    if (parsed.opts.show_help) {
        printHelp(console);
        return 0;
    }
    if (parsed.opts.show_version) {
        printLine(console, "qev-mount version " QEV_VERSION);
        console.out.flush();
        fuse_lowlevel_version();
        return 0;
    }
    if (a.positional.size() < 2 || parsed.opts.mountpoint == nullptr) {
        printError(console, "Error: Missing QEV file path or mount point");
        printLine(console, kUsage);
        return 1;
    }
    std::vector<std::string> named(a.positional.begin(), a.positional.end() - 1);
    return mountSources(parsed, sourcesOf(named), *cacheBytes, console);
}

}  // namespace qev::mount
