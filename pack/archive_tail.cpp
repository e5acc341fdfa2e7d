#include "pack/archive_tail.h"

#include <algorithm>
#include <array>
#include <optional>

#include "archive/recovery_record.h"
#include "console/progress.h"
#include "pack/pack_error.h"

namespace qev::pack {
namespace {

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
                           const std::string& output, const CellProgress& progress) {
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
    if (!writeRecoveryRecord(*layout, read, write, progress)) throw PackError("Failed to read back " + output);
}

}  // namespace

void writeArchiveTail(TemporaryOutput& out, uint64_t dataSize, const std::vector<BlockOffsetRecord>& records,
                      const writer::TreeLayout& layout, IntegrityRecord& record, uint32_t recovery,
                      const std::string& output, Console& console, bool showProgress) {
    ProgressLine progress(console, showProgress);
    writeTables(out, records, layout, record);
    writeRecordsAndFooter(out,
                          writer::footerFor(0, dataSize, records.size(), layout.names.size(), layout.entries.size()),
                          record, recovery, output, [&](uint64_t done, uint64_t total) {
                              progress.update(unitCounts(done, total, kCellSize, "sectors read back"));
                          });
}

}  // namespace qev::pack
