#include "pack/qev_pack.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "archive/format/block_hash.h"
#include "archive/records/recovery_record.h"
#include "archive/write/archive_writer.h"
#include "pack/archive_output.h"
#include "pack/as_title.h"
#include "pack/data_stream.h"
#include "pack/options.h"
#include "pack/source_tree.h"
#include "pack/stored_bytes.h"
#include "pack/temporary_output.h"
#include "pack/update.h"
#include "shell/progress.h"
#include "shell/warning_tally.h"
#include "system/stop_signals.h"
#include "system/text.h"

namespace qev::pack {
namespace {

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
    if (!std::filesystem::is_directory(pathFromUtf8(o.source), ignored))
        throw PackError("Not a directory: " + o.source);
    if (!o.force && std::filesystem::exists(std::filesystem::symlink_status(pathFromUtf8(o.output), ignored))) {
        throw PackError(TemporaryOutput::existsMessage(o.output));
    }
    bool showProgress = o.progress.value_or(console.errorIsTerminal) && !o.quiet;
    ProgressLine progress(console, showProgress, o.progressJson);
    ArchiveOutput out(o, console);
    auto root = openDirectoryPath(o.source);
    if (!root) throw PackError("Cannot read " + o.source + ": " + root.error().text());
    SourceTree tree;
    tree.root = pathFromUtf8(o.source);
    SourceDirectories dirs(tree, *root);
    WarningTally warnings(console, progress, o.quiet);
    scanSourceTree(tree, dirs, out.excluded(), [&](const std::string& text) { warnings.warn(text); });
    warnings.finish();
    // Titles copied under several names repeat every name inside them: each is stored once.
    writer::TreeLayout layout;
    bool rootHoldsTitles = holdsTitles(tree);
    if (std::optional<std::string> title = packedAsTitle(o.source, rootHoldsTitles)) {
        layout = writer::layOutTree(AsTitle(tree, *title), false, /*shareNames=*/true);
        AsTitle::toSource(layout);
        if (!o.quiet) printLine(console, "Packing " + o.source + " as the title folder " + *title + " it is named as");
    } else {
        layout = writer::layOutTree(tree, false, /*shareNames=*/true);
        if (!rootHoldsTitles) {
            warnings.warn("No title folder (named like 0005000010101D00_v64) at the root of " + o.source +
                          ": qev-tool list will show no titles");
        }
    }

    StreamOptions streamOptions{o.level, o.jobs, o.dedup, hooks.beforeBlock, 0};
    ProgressCounts counts{0, tree.files, 0, tree.bytes};
    StoredBytes stored(nullptr, hooks.hashOf);
    StreamResult data;
    {
        DataStream stream(tree, dirs, streamOptions, stored, [&](std::string_view block) { out.appendBlock(block); });
        data = stream.write(layout, [&](uint64_t files, uint64_t bytes, uint64_t storedBytes) {
            stopIfAsked();
            counts.done = files;
            counts.bytesDone = bytes;
            counts.ratio = bytes == 0 ? 0.0 : double(storedBytes) / double(bytes);
            progress.update(counts);
        });
    }
    progress.clear();
    out.finish(layout, o.recovery);
    progress.note(kSyncingLine);
    out.commit(o.force);
    progress.clear();
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - began;
    if (!o.quiet) printLine(console, summaryLine(tree, out.written(), data.savedBytes, elapsed.count()));
}

}  // namespace

int runPack(int argc, const char* const* argv, Console& console) { return runPack(argc, argv, console, PackHooks{}); }

int runPack(int argc, const char* const* argv, Console& console, const PackHooks& hooks) {
    Options o;
    return runProgram({"qev-pack", kHelpUsage, /*stoppable=*/true}, argc, argv, console, optionTable(o), o, [&] {
        try {
            if (std::string error = takeArguments(o); !error.empty()) throw PackError(error);
            if (o.update.empty()) {
                pack(o, console, hooks);
            } else {
                update(o, console, hooks);
            }
            return 0;
        } catch (const UpdateRefused& refused) {
            for (const std::string& line : refused.lines) printError(console, "Error: ", line);
        } catch (const PackError& e) {
            // Stopped by a signal: the temporary is gone; the signal itself tells the caller.
            if (!StopSignals::caught()) printError(console, "Error: ", e.what());
        } catch (const writer::CompressionError& e) {
            printError(console, "Error: Compression failed: ", e.what());
        } catch (const std::filesystem::filesystem_error& e) {
            printError(console, "Error: ", e.what());
        } catch (const std::length_error& e) {
            printError(console, "Error: Tree too large for one archive: ", e.what());
        }
        return 1;
    });
}

}  // namespace qev::pack
