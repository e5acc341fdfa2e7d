// The one way packing and updating write an archive: a temporary beside the output, the
// data blocks (each hashed into the integrity record as it is written, its stored length
// kept for the offset table), then the tables, the integrity record, the recovery record
// when asked for and the footer, and the commit that puts it in place.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "archive/records/integrity_record.h"
#include "archive/write/archive_writer.h"
#include "pack/options.h"
#include "pack/temporary_output.h"
#include "shell/console.h"

namespace qev::pack {

class ArchiveOutput {
public:
    // The temporary beside o.output; the temporaries ended runs left there are removed,
    // which one warning line tells (unless quiet). Throws PackError.
    ArchiveOutput(const Options& o, Console& console);

    // Appends one stored block.
    void appendBlock(std::string_view stored);
    // Appends `count` stored blocks that lie back to back in `source` from `from`, copied as
    // they are (shared extents where the filesystem can), with their lengths and hashes.
    void copyBlocks(const InputFile& source, uint64_t from, const std::vector<uint32_t>& lengths,
                    const std::vector<uint32_t>& hashes);
    uint64_t blockCount() const { return lengths_.size(); }
    uint64_t written() const { return out_.written(); }
    // What a scan must leave out: the temporary, and an output about to be replaced.
    std::vector<Excluded> excluded() const { return out_.excluded(); }

    // Writes everything after the data: the tables of `layout`, the integrity record, a
    // recovery record of `recovery` hundredths of a percent (0: none; the reading back for
    // it on a progress line where progress is shown) and the footer. Throws PackError.
    void finish(const writer::TreeLayout& layout, uint32_t recovery);
    // Makes the archive durable and puts it in place (replacing a file only when told to);
    // from then on a stop signal changes nothing. Throws PackError.
    void commit(bool replace);

private:
    void writeTables(const std::vector<BlockOffsetRecord>& records, const writer::TreeLayout& layout);
    void writeRecordsAndFooter(uint32_t recovery);

    const Options& o_;
    Console& console_;
    TemporaryOutput out_;
    IntegrityRecord record_;
    std::vector<uint32_t> lengths_;  // of the stored blocks, in order
    ArchiveFooter footer_{};
};

}  // namespace qev::pack
