#include "pack/archive_output.h"

#include <algorithm>
#include <array>
#include <optional>

#include "archive/records/recovery_record.h"
#include "pack/pack_error.h"
#include "shell/progress.h"
#include "system/stop_signals.h"

namespace qev::pack {
namespace {

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

// The archive as written so far, read back for its recovery record; a stop asked for ends
// the reading.
class WrittenArchive : public ArchiveFile {
public:
    WrittenArchive(TemporaryOutput& out, uint64_t size) : out_(out), size_(size) {}
    bool readAt(uint64_t offset, uint8_t* into, uint32_t count) const override {
        stopIfAsked();
        return out_.readAt(offset, into, count);
    }
    std::optional<uint64_t> size() const override { return size_; }

private:
    TemporaryOutput& out_;
    uint64_t size_;
};

}  // namespace

ArchiveOutput::ArchiveOutput(const Options& o, Console& console) : o_(o), console_(console), out_(o.output) {
    if (std::string note = out_.staleNote(); !note.empty() && !o.quiet) printWarning(console, note);
}

void ArchiveOutput::appendBlock(std::string_view stored) {
    out_.write(stored);
    record_.blockHashes.push_back(blockHash(stored));
    lengths_.push_back(uint32_t(stored.size()));
}

void ArchiveOutput::copyBlocks(const InputFile& source, uint64_t from, const std::vector<uint32_t>& lengths,
                               const std::vector<uint32_t>& hashes) {
    uint64_t bytes = 0;
    for (uint32_t length : lengths) bytes += length;
    out_.copyFrom(source, from, bytes);
    lengths_.insert(lengths_.end(), lengths.begin(), lengths.end());
    record_.blockHashes.insert(record_.blockHashes.end(), hashes.begin(), hashes.end());
}

// The tables in pieces, so that no second copy of them is ever held whole; each is hashed
// into the integrity record as it is written.
void ArchiveOutput::writeTables(const std::vector<BlockOffsetRecord>& records, const writer::TreeLayout& layout) {
    constexpr size_t kPiece = 65536;
    StreamHash offsets, tree;
    for (size_t r = 0; r < records.size(); r += kPiece) {
        std::vector<BlockOffsetRecord> piece(records.begin() + r,
                                             records.begin() + std::min(records.size(), r + kPiece));
        std::string bytes = writer::encodeTables(piece, {}, {});
        offsets.update(bytes);
        out_.write(bytes);
    }
    out_.write(layout.names);
    for (size_t e = 0; e < layout.entries.size(); e += kPiece) {
        std::vector<TreeEntry> piece(layout.entries.begin() + e,
                                     layout.entries.begin() + std::min(layout.entries.size(), e + kPiece));
        std::string bytes = writer::encodeTables({}, {}, piece);
        tree.update(bytes);
        out_.write(bytes);
    }
    record_.offsetTableHash = offsets.value();
    record_.nameTableHash = hashBytes(layout.names);
    record_.treeHash = tree.value();
}

// The integrity record after the tables, then the recovery record if any, then the footer
// that points at both and seals the first. The recovery record's parity covers the footer,
// so the footer is written first and the record read back with it.
void ArchiveOutput::writeRecordsAndFooter(uint32_t recovery) {
    ArchiveFooter footer = footer_;
    std::optional<RecoveryLayout> layout = placeRecords(footer, out_.written(), record_, recovery);
    std::string footerBytes = writer::encodeFooter(footer);
    record_.footerHash = footerFieldsHash(reinterpret_cast<const uint8_t*>(footerBytes.data()));
    std::string encoded = encodeIntegrityRecord(record_);
    std::array<uint8_t, 32> seal = sealFor(encoded);
    footerBytes.replace(kFooterOpaqueOffset, seal.size(), reinterpret_cast<const char*>(seal.data()), seal.size());
    out_.write(encoded);
    out_.writeAt(footer.archiveSize - kFooterSize, footerBytes);
    if (!layout) return;
    ProgressLine progress(console_, o_.progress.value_or(console_.errorIsTerminal) && !o_.quiet, o_.progressJson);
    WrittenArchive written(out_, footer.archiveSize);
    auto write = [&](uint64_t offset, std::string_view bytes) {
        out_.writeAt(offset, bytes);
        return true;
    };
    auto counted = [&](uint64_t done, uint64_t total) {
        progress.update(unitCounts(done, total, kCellSize, "sectors read back"));
    };
    if (!writeRecoveryRecord(*layout, written, write, counted)) throw PackError("Failed to read back " + o_.output);
}

void ArchiveOutput::finish(const writer::TreeLayout& layout, uint32_t recovery) {
    uint64_t dataSize = out_.written();
    std::vector<BlockOffsetRecord> records = writer::offsetRecordsFor(lengths_);
    footer_ = writer::footerFor(0, dataSize, records.size(), layout.names.size(), layout.entries.size());
    writeTables(records, layout);
    writeRecordsAndFooter(recovery);
}

void ArchiveOutput::commit(bool replace) {
    out_.commit(replace);
    // The archive is in place: a stop from now on changes nothing, and the run succeeded.
    StopSignals::disregard();
}

}  // namespace qev::pack
