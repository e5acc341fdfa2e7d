// The end of a new archive, after its data: the tables, the integrity record, the recovery
// record when asked for, and the footer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/archive_writer.h"
#include "archive/integrity_record.h"
#include "console/console.h"
#include "pack/temporary_output.h"

namespace qev::pack {

// Writes everything after a data section of `dataSize` bytes (which `record` already holds
// the block hashes of) with a recovery record of `recovery` hundredths of a percent (0:
// none); the reading back for it is counted on a progress line when `showProgress`. Throws
// PackError.
void writeArchiveTail(TemporaryOutput& out, uint64_t dataSize, const std::vector<BlockOffsetRecord>& records,
                      const writer::TreeLayout& layout, IntegrityRecord& record, uint32_t recovery,
                      const std::string& output, Console& console, bool showProgress);

}  // namespace qev::pack
