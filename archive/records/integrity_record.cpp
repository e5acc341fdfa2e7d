#include "archive/records/integrity_record.h"

#include <xxhash.h>

#include <algorithm>
#include <cstring>

namespace qev {
namespace {

// Everything in the footer but its opaque bytes is hashed.
constexpr size_t kOpaqueAt = kFooterOpaqueOffset;
constexpr size_t kOpaqueEnd = kFooterOpaqueOffset + kFooterOpaqueSize;
// Tables are hashed in pieces of this size, so that no second copy of them is held.
// Small enough that a long-running program's allocator keeps no large buffer for it.
constexpr uint32_t kPiece = 64 << 10;

std::optional<IntegrityRecord> decodeRecord(const std::string& bytes) {
    if (bytes.size() < kIntegrityHeaderSize || std::string_view(bytes).substr(0, 8) != kIntegrityMagic)
        return std::nullopt;
    auto at = [&](size_t offset) { return reinterpret_cast<const uint8_t*>(bytes.data()) + offset; };
    uint64_t blocks = loadBE64(at(16));
    if (loadBE32(at(8)) != kIntegrityVersion || loadBE32(at(12)) != kIntegrityHeaderSize ||
        blocks != (bytes.size() - kIntegrityHeaderSize) / 4 || (bytes.size() - kIntegrityHeaderSize) % 4 != 0) {
        return std::nullopt;
    }
    IntegrityRecord r;
    r.offsetTableHash = loadBE64(at(24));
    r.nameTableHash = loadBE64(at(32));
    r.treeHash = loadBE64(at(40));
    r.footerHash = loadBE64(at(48));
    r.blockHashes.resize(blocks);
    for (uint64_t b = 0; b < blocks; ++b) r.blockHashes[b] = loadBE32(at(kIntegrityHeaderSize + 4 * b));
    return r;
}

}  // namespace

std::string encodeIntegrityRecord(const IntegrityRecord& record) {
    std::string out(kIntegrityMagic);
    out.reserve(record.encodedSize());
    appendBE(out, kIntegrityVersion, 4);
    appendBE(out, kIntegrityHeaderSize, 4);
    appendBE(out, record.blockHashes.size(), 8);
    for (uint64_t h : {record.offsetTableHash, record.nameTableHash, record.treeHash, record.footerHash, uint64_t(0)}) {
        appendBE(out, h, 8);
    }
    for (uint32_t h : record.blockHashes) appendBE(out, h, 4);
    return out;
}

uint64_t footerFieldsHash(const uint8_t* footerBytes) {
    std::string fields(reinterpret_cast<const char*>(footerBytes), kOpaqueAt);
    fields.append(reinterpret_cast<const char*>(footerBytes) + kOpaqueEnd, kFooterSize - kOpaqueEnd);
    return hashBytes(fields);
}

std::array<uint8_t, 32> sealFor(std::string_view encodedRecord) {
    std::array<uint8_t, 32> seal{};
    std::memcpy(seal.data(), kIntegritySeal.data(), kIntegritySeal.size());
    XXH128_canonical_t sum;
    XXH128_canonicalFromHash(&sum, XXH3_128bits(encodedRecord.data(), encodedRecord.size()));
    std::memcpy(seal.data() + 16, sum.digest, 16);
    return seal;
}

FoundRecord findIntegrityRecord(const ArchiveIndex& index) {
    FoundRecord found;
    uint64_t size = index.archiveSize();
    if (!index.file().readAt(size - kFooterSize, found.footer.data(), kFooterSize)) {
        found.state = RecordState::kDamaged;
        return found;
    }
    ArchiveFooter footer = decodeFooter(found.footer.data());
    bool sealed = std::memcmp(found.footer.data() + kOpaqueAt, kIntegritySeal.data(), kIntegritySeal.size()) == 0;
    // Opening checked that the section lies inside the file, so its size is bounded by it.
    std::string bytes;
    if (footer.auxSection1.size >= kIntegrityHeaderSize) {
        bytes.resize(footer.auxSection1.size);
        uint64_t at = footer.auxSection1.offset;
        for (uint64_t done = 0; done < bytes.size();) {
            uint32_t n = uint32_t(std::min<uint64_t>(kPiece, bytes.size() - done));
            if (!index.file().readAt(at + done, reinterpret_cast<uint8_t*>(bytes.data()) + done, n)) {
                bytes.clear();
                break;
            }
            done += n;
        }
    }
    bool claimed = std::string_view(bytes).substr(0, 8) == kIntegrityMagic;
    if (!sealed && !claimed) return found;  // another writer's archive
    found.state = RecordState::kDamaged;
    std::optional<IntegrityRecord> record = decodeRecord(bytes);
    std::array<uint8_t, 32> seal = sealFor(bytes);
    if (!sealed || !record || std::memcmp(seal.data(), found.footer.data() + kOpaqueAt, seal.size()) != 0) {
        return found;
    }
    found.state = RecordState::kVerified;
    found.record = std::move(*record);
    return found;
}

std::string_view partName(StructurePart part) {
    switch (part) {
        case StructurePart::kOffsetTable: return "offset table";
        case StructurePart::kNameTable: return "name table";
        case StructurePart::kTree: return "tree";
        case StructurePart::kFooter: break;
    }
    return "footer";
}

SectionRange partRange(const ArchiveIndex& index, const ArchiveFooter& footer, StructurePart part) {
    switch (part) {
        case StructurePart::kOffsetTable: return footer.offsetSection;
        case StructurePart::kNameTable: return footer.nameSection;
        case StructurePart::kTree: return footer.treeSection;
        case StructurePart::kFooter: break;
    }
    return {index.archiveSize() - kFooterSize, kFooterSize};
}

std::vector<StructurePart> mismatchedStructure(const ArchiveIndex& index, const FoundRecord& found) {
    const IntegrityRecord& r = found.record;
    const uint64_t expected[] = {r.offsetTableHash, r.nameTableHash, r.treeHash};
    const StructurePart tables[] = {StructurePart::kOffsetTable, StructurePart::kNameTable, StructurePart::kTree};
    std::vector<StructurePart> parts;
    for (int t = 0; t < 3; ++t) {
        if (hashStoredSection(index, found.footer, t) != expected[t]) parts.push_back(tables[t]);
    }
    if (footerFieldsHash(found.footer.data()) != r.footerHash) parts.push_back(StructurePart::kFooter);
    return parts;
}

std::optional<uint64_t> hashStoredSection(const ArchiveIndex& index,
                                          const std::array<uint8_t, kFooterSize>& footerBytes, int section) {
    ArchiveFooter footer = decodeFooter(footerBytes.data());
    const SectionRange& range = *footer.sections()[size_t(section) + 1];
    StreamHash hash;
    std::string piece;
    for (uint64_t done = 0; done < range.size;) {
        uint32_t n = uint32_t(std::min<uint64_t>(kPiece, range.size - done));
        piece.resize(n);
        if (!index.file().readAt(range.offset + done, reinterpret_cast<uint8_t*>(piece.data()), n)) return std::nullopt;
        hash.update(piece);
        done += n;
    }
    return hash.value();
}

}  // namespace qev
