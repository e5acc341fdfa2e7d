#include "archive/format/format.h"

#include <cstring>

namespace qev {
namespace {

// Empty names still point somewhere valid, so callers never see a null pointer.
constexpr std::string_view kEmptyName("", 0);

SectionRange decodeSection(const uint8_t* p) { return {loadBE64(p), loadBE64(p + 8)}; }

}  // namespace

ArchiveFooter decodeFooter(const uint8_t* bytes) {
    ArchiveFooter f;
    f.dataSection = decodeSection(bytes + 0);
    f.offsetSection = decodeSection(bytes + 16);
    f.nameSection = decodeSection(bytes + 32);
    f.treeSection = decodeSection(bytes + 48);
    f.auxSection1 = decodeSection(bytes + 64);
    f.auxSection2 = decodeSection(bytes + 80);
    for (size_t i = 0; i < f.opaqueBytes.size(); ++i) f.opaqueBytes[i] = bytes[96 + i];
    f.archiveSize = loadBE64(bytes + 128);
    f.formatVersion = loadBE32(bytes + 136);
    f.magic = loadBE32(bytes + 140);
    return f;
}

BlockOffsetRecord decodeOffsetRecord(const uint8_t* bytes) {
    BlockOffsetRecord r;
    r.base = loadBE64(bytes);
    for (uint32_t i = 0; i < kBlocksPerRecord; ++i) r.storedSizes[i] = loadBE16(bytes + 8 + 2 * i);
    return r;
}

TreeEntry decodeTreeEntry(const uint8_t* bytes) {
    TreeEntry e;
    for (uint32_t i = 0; i < 4; ++i) e.words[i] = loadBE32(bytes + 4 * i);
    return e;
}

void decodeOffsetRecordsInPlace(BlockOffsetRecord* records, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        records[i] = decodeOffsetRecord(reinterpret_cast<const uint8_t*>(records + i));
    }
}

void decodeTreeEntriesInPlace(TreeEntry* entries, size_t count) {
    // A tree entry is four 32-bit words on disk and in memory, so the table is one run of
    // words, each swapped where it lies (one load, byte swap and store per word).
    auto* bytes = reinterpret_cast<uint8_t*>(entries);
    for (size_t i = 0; i < count * 4; ++i) {
        uint32_t word = loadBE32(bytes + 4 * i);
        std::memcpy(bytes + 4 * i, &word, sizeof word);
    }
}

std::string_view decodeName(const uint8_t* table, uint64_t tableSize, uint32_t offset) {
    if (offset == kNoName || offset >= tableSize) return kEmptyName;
    uint64_t length = table[offset];
    uint64_t start = uint64_t(offset) + 1;
    if (length >= 0x80) {
        if (start >= tableSize) return kEmptyName;
        length = (length & 0x7F) | uint64_t(table[start]) << 7;
        ++start;
    }
    if (length == 0 || length > tableSize - start) return kEmptyName;
    return {reinterpret_cast<const char*>(table + start), size_t(length)};
}

}  // namespace qev
