// This toolset's own extension of the format: a record of hashes that proves every byte of
// an archive. It lies in the footer's first auxiliary section and is sealed by the footer's
// opaque bytes; the format's readers never look at either, so an archive with a record
// reads exactly as one without. docs/integrity-record.md gives the layout.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/format/block_hash.h"
#include "archive/format/format.h"
#include "archive/read/archive_index.h"

namespace qev {

inline constexpr std::string_view kIntegrityMagic = "QEVINTEG";
inline constexpr uint32_t kIntegrityVersion = 1;
inline constexpr uint32_t kIntegrityHeaderSize = 64;
// The first half of the opaque bytes of an archive sealed with a record.
inline constexpr std::string_view kIntegritySeal = "QEV integrity v1";

struct IntegrityRecord {
    uint64_t offsetTableHash = 0;
    uint64_t nameTableHash = 0;
    uint64_t treeHash = 0;
    uint64_t footerHash = 0;
    // Of each stored block, as stored, in block order: the low 32 bits of its XXH3-64, so
    // that the record stays below 0.02% of an archive even where data compresses to 30%.
    std::vector<uint32_t> blockHashes;

    uint64_t encodedSize() const { return kIntegrityHeaderSize + 4 * uint64_t(blockHashes.size()); }
};

std::string encodeIntegrityRecord(const IntegrityRecord& record);

// The hash of the footer's fields other than its opaque bytes, from its 144 stored bytes.
uint64_t footerFieldsHash(const uint8_t* footerBytes);

// The opaque bytes that seal an encoded record: the seal's name, then XXH3-128 of the record.
std::array<uint8_t, 32> sealFor(std::string_view encodedRecord);

enum class RecordState : uint8_t {
    kAbsent,    // no record and no seal: another writer's archive
    kVerified,  // present, and whole
    kDamaged,   // a seal or a record, but they do not agree, or the record is malformed
};

struct FoundRecord {
    RecordState state = RecordState::kAbsent;
    IntegrityRecord record;                     // when verified
    std::array<uint8_t, kFooterSize> footer{};  // the footer's stored bytes, when it could be read
};

// Reads the footer and the record of an opened archive and checks the record against its
// seal. Reads nothing else; prints and throws nothing but for lack of memory.
FoundRecord findIntegrityRecord(const ArchiveIndex& index);

// The parts of an archive's structure, in file order.
enum class StructurePart : uint8_t { kOffsetTable, kNameTable, kTree, kFooter };
// "offset table", "name table", "tree", "footer".
std::string_view partName(StructurePart part);
// The bytes of a part in the archive's file.
SectionRange partRange(const ArchiveIndex& index, const ArchiveFooter& footer, StructurePart part);

// The parts of an archive that do not match its verified record, in file order. Each is
// read and hashed as stored.
std::vector<StructurePart> mismatchedStructure(const ArchiveIndex& index, const FoundRecord& found);

// The stored bytes of a table section (0: offsets, 1: names, 2: tree) hashed as they lie
// in the file; nothing when they cannot be read.
std::optional<uint64_t> hashStoredSection(const ArchiveIndex& index, const std::array<uint8_t, kFooterSize>& footer,
                                          int section);

}  // namespace qev
