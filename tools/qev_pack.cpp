#include "tools/qev_pack.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <stdio.h>
#include <unistd.h>
#include <zstd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "tools/archive_writer.h"
#include "tools/source_tree.h"

namespace qev::pack {
namespace {

constexpr std::string_view kUsage = "Usage: qev-pack SOURCE_DIR OUTPUT.qev [--level N] [--force]";
constexpr int kDefaultLevel = 3;
constexpr size_t kReadChunk = size_t(1) << 20;

// A failure worth one "Error: " line; the message is the line without that prefix.
struct PackError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string withErrno(std::string what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

struct Options {
    std::string source;
    std::string output;
    int level = kDefaultLevel;
    bool force = false;
    bool help = false;
    bool version = false;
};

int parseLevel(std::string_view text) {
    int level = 0;
    size_t used = 0;
    try {
        level = std::stoi(std::string(text), &used);
    } catch (const std::logic_error&) {
        used = 0;
    }
    if (used == 0 || used != text.size() || level < ZSTD_minCLevel() || level > ZSTD_maxCLevel()) {
        throw PackError("Invalid compression level: " + std::string(text));
    }
    return level;
}

Options parseArguments(int argc, const char* const* argv) {
    Options o;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        if (a == "--force") {
            o.force = true;
        } else if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--version") {
            o.version = true;
        } else if (a == "--level") {
            if (++i == argc) throw PackError("--level needs a value");
            o.level = parseLevel(argv[i]);
        } else if (a.starts_with("--level=")) {
            o.level = parseLevel(a.substr(8));
        } else if (a.starts_with("-") && a.size() > 1) {
            throw PackError("Unknown option: " + std::string(a));
        } else {
            positional.emplace_back(a);
        }
    }
    if (o.help || o.version) return o;
    if (positional.size() != 2) {
        throw PackError("Expected SOURCE_DIR and OUTPUT.qev (" + std::string(kUsage) + ")");
    }
    o.source = positional[0];
    o.output = positional[1];
    return o;
}

// The new archive, written to a temporary file beside the output and renamed into place
// only when complete; removed on every other path.
class TemporaryOutput {
public:
    explicit TemporaryOutput(const std::string& output) : output_(output) {
        // Created with mode 0666, so the kernel applies the umask as for any new file.
        for (unsigned attempt = 0; fd_ < 0; ++attempt) {
            std::string candidate = output + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
            fd_ = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (fd_ >= 0) path_ = candidate;
            if (fd_ < 0 && (errno != EEXIST || attempt == 100)) throw PackError(withErrno("Cannot create", candidate));
        }
    }
    ~TemporaryOutput() {
        if (fd_ >= 0) ::close(fd_);
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    TemporaryOutput(const TemporaryOutput&) = delete;
    TemporaryOutput& operator=(const TemporaryOutput&) = delete;

    void write(std::string_view bytes) {
        written_ += bytes.size();
        while (!bytes.empty()) {
            ssize_t n = ::write(fd_, bytes.data(), bytes.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) throw PackError(withErrno("Failed to write", output_));
            bytes.remove_prefix(size_t(n));
        }
    }
    uint64_t written() const { return written_; }

    // Makes the archive durable and puts it in place; refuses to replace an existing file
    // unless told to.
    void commit(bool replace) {
        bool written = ::fsync(fd_) == 0;
        written = ::close(std::exchange(fd_, -1)) == 0 && written;
        if (!written) throw PackError(withErrno("Failed to write", output_));
        int rc = replace ? ::rename(path_.c_str(), output_.c_str())
                         : ::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, output_.c_str(), RENAME_NOREPLACE);
        if (rc != 0 && errno == EEXIST) throw PackError(existsMessage(output_));
        if (rc != 0) throw PackError(withErrno("Cannot create", output_));
        path_.clear();
    }

    static std::string existsMessage(const std::string& output) {
        return "Output file exists (use --force to replace it): " + output;
    }

private:
    std::string output_;
    std::string path_;
    int fd_ = -1;
    uint64_t written_ = 0;
};

// A descriptor closed on every path, exceptions included.
class SourceFile {
public:
    explicit SourceFile(const std::filesystem::path& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        if (fd_ < 0) throw PackError(withErrno("Cannot read", path.string()));
    }
    ~SourceFile() { ::close(fd_); }
    SourceFile(const SourceFile&) = delete;
    SourceFile& operator=(const SourceFile&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

// Streams one source file into the packer; it must still have the size it was listed with.
void packFile(const std::filesystem::path& path, uint64_t size, writer::BlockPacker& packer,
              std::string& buffer) {
    SourceFile file(path);
    uint64_t total = 0;
    for (;;) {
        ssize_t n = ::read(file.fd(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw PackError(withErrno("Cannot read", path.string()));
        if (n == 0) break;
        total += uint64_t(n);
        if (total > size) break;
        packer.append(std::string_view(buffer.data(), size_t(n)));
    }
    if (total != size) throw PackError("File changed while packing: " + path.string());
}

void pack(const Options& o, Console& console, const PackHooks& hooks) {
    if (!std::filesystem::is_directory(o.source)) throw PackError("Not a directory: " + o.source);
    if (!o.force && std::filesystem::exists(std::filesystem::symlink_status(o.output))) {
        throw PackError(TemporaryOutput::existsMessage(o.output));
    }
    SourceTree tree = scanSourceTree(o.source, [&](std::string_view what, const auto& path) {
        std::string line = "Warning: Skipped " + std::string(what) + ": " + path.string() + "\n";
        console.err << line << std::flush;
    });
    writer::TreeLayout layout = writer::layOutTree(tree.nodes);

    TemporaryOutput out(o.output);
    writer::BlockPacker packer(o.level, [&](std::string_view stored) { out.write(stored); });
    packer.beforeStore = hooks.beforeBlock;
    std::string buffer(kReadChunk, '\0');
    for (size_t index : layout.order) {
        if (tree.nodes[index].isFile) packFile(tree.paths[index], tree.nodes[index].size, packer, buffer);
    }
    packer.finish();
    uint64_t dataSize = out.written();
    std::vector<BlockOffsetRecord> records = writer::offsetRecordsFor(packer.storedLengths());
    out.write(writer::encodeTables(records, layout.names, layout.entries));
    out.write(writer::encodeFooter(writer::footerFor(0, dataSize, records.size(), layout.names.size(),
                                                     layout.entries.size())));
    out.commit(o.force);
}

}  // namespace

int runPack(int argc, const char* const* argv, Console& console) {
    return runPack(argc, argv, console, PackHooks{});
}

int runPack(int argc, const char* const* argv, Console& console, const PackHooks& hooks) {
    try {
        Options o = parseArguments(argc, argv);
        if (o.help) {
            console.out << kUsage << "\n" << std::flush;
        } else if (o.version) {
            console.out << "qev-pack " QEV_VERSION "\n" << std::flush;
        } else {
            pack(o, console, hooks);
        }
        return 0;
    } catch (const PackError& e) {
        printError(console, "Error: ", e.what());
    } catch (const writer::CompressionError& e) {
        printError(console, "Error: Compression failed: ", e.what());
    } catch (const std::filesystem::filesystem_error& e) {
        printError(console, "Error: ", e.what());
    } catch (const std::length_error& e) {
        printError(console, "Error: Tree too large for one archive: ", e.what());
    } catch (const std::bad_alloc&) {
        printError(console, kOutOfMemory);
    }
    return 1;
}

}  // namespace qev::pack
