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

#include "archive/archive_writer.h"
#include "archive/integrity_record.h"
#include "archive/recovery_record.h"
#include "console/progress.h"
#include "pack/data_stream.h"
#include "pack/options.h"
#include "pack/source_tree.h"
#include "pack/temporary_output.h"
#include "system/stop_signals.h"
#include "system/text.h"

namespace qev::pack {
namespace {

// The tables in pieces, so that no second copy of them is ever held whole.
// The tables in pieces, so that no second copy of them is ever held whole; each is hashed
// into the integrity record as it is written.
void writeTables(TemporaryOutput& out, const std::vector<BlockOffsetRecord>& records, const writer::TreeLayout& layout,
                 IntegrityRecord& record) {
    constexpr size_t kPiece = 65536;
    StreamHash offsets, tree;
    for (size_t r = 0; r < records.size(); r += kPiece) {
        std::vector<BlockOffsetRecord> piece(records.begin() + r, records.begin() + std::min(records.size(), r + kPiece));
        std::string bytes = writer::encodeTables(piece, {}, {});
        offsets.update(bytes);
        out.write(bytes);
    }
    out.write(layout.names);
    for (size_t e = 0; e < layout.entries.size(); e += kPiece) {
        std::vector<TreeEntry> piece(layout.entries.begin() + e,
                                     layout.entries.begin() + std::min(layout.entries.size(), e + kPiece));
        std::string bytes = writer::encodeTables({}, {}, piece);
        tree.update(bytes);
        out.write(bytes);
    }
    record.offsetTableHash = offsets.value();
    record.nameTableHash = hashBytes(layout.names);
    record.treeHash = tree.value();
}

// The footer for an integrity record written at `at`, and a recovery record after it when
// asked for (the footer then follows the recovery record).
std::optional<RecoveryLayout> placeRecords(ArchiveFooter& footer, uint64_t at, const IntegrityRecord& record,
                                           uint32_t recovery) {
    footer.auxSection1 = {at, record.encodedSize()};
    uint64_t recordOffset = at + record.encodedSize();
    std::optional<RecoveryLayout> layout;
    if (recovery != 0) layout = RecoveryLayout{planRecovery(recordOffset + kFooterSize, recovery), recordOffset};
    footer.auxSection2 = {recordOffset, layout ? layout->recordSize() : 0};
    footer.archiveSize = recordOffset + footer.auxSection2.size + kFooterSize;
    return layout;
}

// The integrity record after the tables, then the recovery record if any, then the footer
// that points at both and seals the first. The recovery record's parity covers the footer,
// so the footer is written first and the record read back with it.
void writeRecordsAndFooter(TemporaryOutput& out, ArchiveFooter footer, IntegrityRecord& record, uint32_t recovery,
                           const std::string& output) {
    std::optional<RecoveryLayout> layout = placeRecords(footer, out.written(), record, recovery);
    std::string footerBytes = writer::encodeFooter(footer);
    record.footerHash = footerFieldsHash(reinterpret_cast<const uint8_t*>(footerBytes.data()));
    std::string encoded = encodeIntegrityRecord(record);
    std::array<uint8_t, 32> seal = sealFor(encoded);
    footerBytes.replace(96, seal.size(), reinterpret_cast<const char*>(seal.data()), seal.size());
    out.write(encoded);
    out.writeAt(footer.archiveSize - kFooterSize, footerBytes);
    if (!layout) return;
    auto read = [&](uint64_t offset, uint8_t* into, uint32_t count) {
        stopIfAsked();
        return out.readAt(offset, into, count);
    };
    auto write = [&](uint64_t offset, std::string_view bytes) {
        out.writeAt(offset, bytes);
        return true;
    };
    if (!writeRecoveryRecord(*layout, read, write)) throw PackError("Failed to read back " + output);
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
    auto root = openDirectoryPath(o.source);
    if (!root) throw PackError("Cannot read " + o.source + ": " + root.error().text());
    SourceTree tree;
    tree.root = pathFromUtf8(o.source);
    SourceDirectories dirs(tree, *root);
    scanSourceTree(tree, dirs, out.excluded(), [&](const std::string& text) {
        if (o.quiet) return;
        progress.clear();
        printWarning(console, text);
    });
    // Titles copied under several names repeat every name inside them: each is stored once.
    writer::TreeLayout layout = writer::layOutTree(tree, false, /*shareNames=*/true);

    StreamOptions streamOptions{o.level, o.jobs, o.dedup, hooks.beforeBlock, hooks.hashOf};
    ProgressCounts counts{0, tree.files, 0, tree.bytes};
    StreamResult data;
    IntegrityRecord record;
    {
        DataStream stream(tree, dirs, streamOptions, [&](std::string_view stored) {
            out.write(stored);
            record.blockHashes.push_back(blockHash(stored));
        });
        data = stream.write(layout, [&](uint64_t files, uint64_t bytes, uint64_t stored) {
            stopIfAsked();
            counts.filesDone = files;
            counts.bytesDone = bytes;
            counts.ratio = bytes == 0 ? 0.0 : double(stored) / double(bytes);
            progress.update(counts);
        });
    }
    uint64_t dataSize = out.written();
    std::vector<BlockOffsetRecord> records = writer::offsetRecordsFor(data.storedLengths);
    writeTables(out, records, layout, record);
    writeRecordsAndFooter(out,
                          writer::footerFor(0, dataSize, records.size(), layout.names.size(), layout.entries.size()),
                          record, o.recovery, o.output);
    out.commit(o.force);
    // The archive is in place: a stop from now on changes nothing, and the run succeeded.
    StopSignals::disregard();
    progress.clear();
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - began;
    if (!o.quiet) printLine(console, summaryLine(tree, out.written(), data.savedBytes, elapsed.count()));
}

}  // namespace

int runPack(int argc, const char* const* argv, Console& console) {
    return runPack(argc, argv, console, PackHooks{});
}

int runPack(int argc, const char* const* argv, Console& console, const PackHooks& hooks) {
    Options o;
    return runProgram({"qev-pack", kUsage, /*stoppable=*/true}, argc, argv, console, optionTable(o), o, [&] {
        try {
            if (std::string error = takeArguments(o); !error.empty()) throw PackError(error);
            pack(o, console, hooks);
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
        }
        return 1;
    });
}

}  // namespace qev::pack
