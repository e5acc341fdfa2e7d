// On-disk layout of a QEV archive: constants, records and their big-endian decoding.
//
// Every integer in the file is unsigned and big-endian. Records are decoded field by
// field from bytes; nothing here overlays a struct on raw file bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qev {

inline constexpr uint32_t kFooterSize = 144;
// Where the footer's 32 opaque bytes lie in it: the format gives them no meaning.
inline constexpr uint32_t kFooterOpaqueOffset = 96;
inline constexpr uint32_t kFooterOpaqueSize = 32;
inline constexpr uint32_t kArchiveMagic = 0x169F52D6;
inline constexpr uint32_t kFormatVersion = 0x61BF3A01;

inline constexpr uint32_t kBlockSize = 65536;
inline constexpr uint32_t kBlocksPerRecord = 16;
inline constexpr uint16_t kStoredRaw = 0xFFFF;
inline constexpr uint32_t kOffsetRecordSize = 40;
inline constexpr uint32_t kTreeEntrySize = 16;

inline constexpr uint32_t kFileFlag = 0x80000000;
inline constexpr uint32_t kNameOffsetMask = 0x7FFFFFFF;
inline constexpr uint32_t kNoName = 0x7FFFFFFF;

// Limits on section sizes, so that each table is read with one 32-bit count.
inline constexpr uint64_t kMaxOffsetSectionSize = 0xFFFFFFFF;
inline constexpr uint64_t kMaxNameSectionSize = 0x7FFFFFFF;
inline constexpr uint64_t kMaxTreeSectionSize = 0xFFFFFFFF;

inline uint16_t loadBE16(const uint8_t* p) { return uint16_t(uint16_t(p[0]) << 8 | p[1]); }

inline uint32_t loadBE32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

inline uint64_t loadBE64(const uint8_t* p) { return uint64_t(loadBE32(p)) << 32 | loadBE32(p + 4); }

// Appends the low `bytes` bytes of `v`, most significant first.
inline void appendBE(std::string& out, uint64_t v, int bytes) {
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) out.push_back(char(v >> shift));
}

struct SectionRange {
    uint64_t offset;
    uint64_t size;
};

struct ArchiveFooter {
    SectionRange dataSection;
    SectionRange offsetSection;
    SectionRange nameSection;
    SectionRange treeSection;
    SectionRange auxSection1;
    SectionRange auxSection2;
    std::array<uint8_t, kFooterOpaqueSize> opaqueBytes;
    uint64_t archiveSize;
    uint32_t formatVersion;
    uint32_t magic;

    // The six sections in footer order, for checks that treat them alike.
    std::array<const SectionRange*, 6> sections() const {
        return {&dataSection, &offsetSection, &nameSection, &treeSection, &auxSection1, &auxSection2};
    }
};
static_assert(sizeof(ArchiveFooter) == kFooterSize);
static_assert(offsetof(ArchiveFooter, opaqueBytes) == kFooterOpaqueOffset);

struct BlockOffsetRecord {
    uint64_t base;  // offset of the record's first block, relative to the data section
    std::array<uint16_t, kBlocksPerRecord> storedSizes;  // stored length minus one, per block
};
// The offset table is converted in place, so the host record must match the disk record.
static_assert(sizeof(BlockOffsetRecord) == kOffsetRecordSize);

// Four words whose meaning depends on kFileFlag in word 0:
// directory: nameRef, firstChild, childCount, (unused)
// file:      nameRef, startLow,   sizeLow,    highParts (size bits 32-47 << 16 | start bits 32-47)
struct TreeEntry {
    std::array<uint32_t, 4> words;

    bool isFile() const { return (words[0] & kFileFlag) != 0; }
    uint32_t nameOffset() const { return words[0] & kNameOffsetMask; }
    uint32_t firstChild() const { return words[1]; }
    uint32_t childCount() const { return words[2]; }
    uint64_t fileStart() const { return uint64_t(words[3] & 0xFFFF) << 32 | words[1]; }
    uint64_t fileSize() const { return uint64_t(words[3] >> 16) << 32 | words[2]; }
};
static_assert(sizeof(TreeEntry) == kTreeEntrySize);

ArchiveFooter decodeFooter(const uint8_t* bytes);
BlockOffsetRecord decodeOffsetRecord(const uint8_t* bytes);
TreeEntry decodeTreeEntry(const uint8_t* bytes);

// Whole tables read straight into their host arrays, converted where they lie: the disk
// and host records have the same size, and each record's bytes become its fields.
void decodeOffsetRecordsInPlace(BlockOffsetRecord* records, size_t count);
void decodeTreeEntriesInPlace(TreeEntry* entries, size_t count);

// The name at `offset` in a name table of `tableSize` bytes, or the empty view when the
// offset is kNoName or the prefix or the name would reach past the table.
std::string_view decodeName(const uint8_t* table, uint64_t tableSize, uint32_t offset);

}  // namespace qev
