#include "pack/qev_pack.h"

#include <zstd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "console/arguments.h"
#include "system/text.h"
#include "console/progress.h"
#include "system/stop_signals.h"
#include "archive/archive_writer.h"
#include "pack/data_stream.h"
#include "pack/source_tree.h"
#include "pack/temporary_output.h"

namespace qev::pack {
namespace {

constexpr std::string_view kUsage =
    "Usage: qev-pack SOURCE_DIR OUTPUT.qev [--level N] [-j N] [--no-dedup] [--force] "
    "[--progress | --no-progress] [-q]";
constexpr int kDefaultLevel = 3;

struct Options {
    std::string source;
    std::string output;
    int level = kDefaultLevel;
    unsigned jobs = 0;
    bool dedup = true;
    bool force = false;
    std::optional<bool> progress;
    bool quiet = false;
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
        } else if (a == "--no-dedup") {
            o.dedup = false;
        } else if (a == "-q" || a == "--quiet") {
            o.quiet = true;
        } else if (a == "--progress" || a == "--no-progress") {
            o.progress = a == "--progress";
        } else if (a == "--level") {
            if (++i == argc) throw PackError("--level needs a value");
            o.level = parseLevel(argv[i]);
        } else if (a.starts_with("--level=")) {
            o.level = parseLevel(a.substr(8));
        } else if (std::string error; takeJobsOption(argc, argv, i, o.jobs, error)) {
            if (!error.empty()) throw PackError(error);
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

// The tables in pieces, so that no second copy of them is ever held whole.
void writeTables(TemporaryOutput& out, const std::vector<BlockOffsetRecord>& records, const writer::TreeLayout& layout) {
    constexpr size_t kPiece = 65536;
    for (size_t r = 0; r < records.size(); r += kPiece) {
        std::vector<BlockOffsetRecord> piece(records.begin() + r, records.begin() + std::min(records.size(), r + kPiece));
        out.write(writer::encodeTables(piece, {}, {}));
    }
    out.write(layout.names);
    for (size_t e = 0; e < layout.entries.size(); e += kPiece) {
        std::vector<TreeEntry> piece(layout.entries.begin() + e,
                                     layout.entries.begin() + std::min(layout.entries.size(), e + kPiece));
        out.write(writer::encodeTables({}, {}, piece));
    }
}

std::string summaryLine(const SourceTree& tree, uint64_t archiveSize, uint64_t saved, double seconds) {
    char text[256];
    double ratio = tree.bytes == 0 ? 0.0 : double(archiveSize) / double(tree.bytes);
    std::snprintf(text, sizeof text,
                  "%llu files and %llu directories, %s in, %s out (ratio %.3f), %s saved by identical files, in %.2f s",
                  static_cast<unsigned long long>(tree.files), static_cast<unsigned long long>(tree.directories),
                  humanBytes(tree.bytes).c_str(), humanBytes(archiveSize).c_str(), ratio, humanBytes(saved).c_str(),
                  seconds);
    return text;
}

void pack(const Options& o, Console& console, const PackHooks& hooks) {
    auto began = std::chrono::steady_clock::now();
    std::error_code ignored;
    if (!std::filesystem::is_directory(pathFromUtf8(o.source), ignored)) throw PackError("Not a directory: " + o.source);
    if (!o.force && std::filesystem::exists(std::filesystem::symlink_status(pathFromUtf8(o.output), ignored))) {
        throw PackError(TemporaryOutput::existsMessage(o.output));
    }
    ProgressLine progress(console, o.progress.value_or(console.errorIsTerminal) && !o.quiet);
    TemporaryOutput out(o.output);
    SourceTree tree = scanSourceTree(pathFromUtf8(o.source), out.excluded(), [&](const std::string& text) {
        if (o.quiet) return;
        progress.clear();
        printWarning(console, text);
    });
    // Titles copied under several names repeat every name inside them: each is stored once.
    writer::TreeLayout layout = writer::layOutTree(tree, false, /*shareNames=*/true);

    StreamOptions streamOptions{o.level, o.jobs, o.dedup, hooks.beforeBlock, hooks.hashOf};
    ProgressCounts counts{0, tree.files, 0, tree.bytes};
    StreamResult data;
    {
        DataStream stream(tree, streamOptions, [&](std::string_view stored) { out.write(stored); });
        data = stream.write(layout, [&](uint64_t files, uint64_t bytes, uint64_t stored) {
            if (StopSignals::caught()) throw PackError("Interrupted");
            counts.filesDone = files;
            counts.bytesDone = bytes;
            counts.ratio = bytes == 0 ? 0.0 : double(stored) / double(bytes);
            progress.update(counts);
        });
    }
    uint64_t dataSize = out.written();
    std::vector<BlockOffsetRecord> records = writer::offsetRecordsFor(data.storedLengths);
    writeTables(out, records, layout);
    out.write(writer::encodeFooter(
        writer::footerFor(0, dataSize, records.size(), layout.names.size(), layout.entries.size())));
    out.commit(o.force);
    progress.clear();
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - began;
    if (!o.quiet) printLine(console, summaryLine(tree, out.written(), data.savedBytes, elapsed.count()));
}

}  // namespace

int runPack(int argc, const char* const* argv, Console& console) {
    return runPack(argc, argv, console, PackHooks{});
}

int runPack(int argc, const char* const* argv, Console& console, const PackHooks& hooks) {
    try {
        Options o = parseArguments(argc, argv);
        if (o.help) {
            printLine(console, kUsage);
        } else if (o.version) {
            printLine(console, "qev-pack " QEV_VERSION);
        } else {
            if (o.jobs == 0) o.jobs = std::max(1u, std::thread::hardware_concurrency());
            StopSignals signals;
            pack(o, console, hooks);
        }
        return 0;
    } catch (const PackError& e) {
        // Stopped by a signal: the temporary is gone; the signal itself tells the caller.
        if (!StopSignals::caught()) printError(console, "Error: ", e.what());
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
