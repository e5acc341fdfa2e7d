// Finding an archive's recovery record: through a copy of its header whose hash holds, or,
// where both copies are damaged, by planning its geometry again from what the file still
// says of it.
#include <algorithm>
#include <cstring>

#include "archive/format/block_hash.h"
#include "archive/format/format.h"
#include "archive/records/recovery_record.h"

namespace qev {
namespace {

constexpr uint32_t kHeaderHashed = kRecoveryHeaderSize - 8;
// Of a planned record's hash table, the chunks compared between its copies.
constexpr uint64_t kChunksCompared = 2;

// How far a planned layout's hash tables bear it out.
enum class Borne : uint8_t {
    kNot,
    kOneCopy,  // some chunk holds its own hash, in one copy only
    kBoth,     // some chunk holds in both copies, byte for byte the same
};

// Reads chunk `c` of one copy; true when it holds its own hash.
bool chunkHolds(const RecoveryLayout& layout, int copy, uint64_t c, const ArchiveFile& file,
                std::vector<uint8_t>& into) {
    const RecoveryGeometry& g = layout.geometry;
    uint64_t first = c * kHashesPerChunk;
    uint32_t count = uint32_t(std::min<uint64_t>(kHashesPerChunk, g.hashCount() - first));
    into.resize(size_t(count) * 4 + 8);
    return file.readAt(layout.hashCopyOffset(copy) + c * kCellSize, into.data(), uint32_t(into.size())) &&
           loadBE64(&into[size_t(count) * 4]) ==
               hashBytes({reinterpret_cast<const char*>(into.data()), size_t(count) * 4});
}

// A layout planned from sizes alone is taken only when the record's bytes bear it out. One
// chunk that holds is not always enough: a record taken to start a whole number of cells
// later than it does, with as many parity cells fewer, has chunks of the true tables where
// its own should be. But its two copies then hold different chunks, where the true
// record's hold the same.
Borne borneOut(const RecoveryLayout& layout, const ArchiveFile& file) {
    uint64_t chunks = layout.geometry.hashChunks();
    std::vector<uint8_t> a, b;
    Borne borne = Borne::kNot;
    for (uint64_t i = 0; i < std::min(chunks, 2 * kChunksCompared); ++i) {
        // The first chunks and the last ones: a record's table is most often whole at its ends.
        uint64_t c = i < kChunksCompared ? i : chunks - 1 - (i - kChunksCompared);
        bool first = chunkHolds(layout, 0, c, file, a), second = chunkHolds(layout, 1, c, file, b);
        if (first && second && a == b) return Borne::kBoth;
        if (first || second) borne = Borne::kOneCopy;
    }
    return borne;
}

// The sizes the record may have when both header copies are damaged: where it ends is
// known (at the footer), where it starts is said by the footer's second auxiliary section
// and, as qev-pack writes it, by the end of the first (the integrity record). Either may be
// damaged; nothing, when neither says anything that fits.
std::vector<uint64_t> sizesFromFooter(uint64_t fileSize, const uint8_t* footer) {
    std::vector<uint64_t> sizes;
    if (footer == nullptr || fileSize < kFooterSize) return sizes;
    uint64_t end = fileSize - kFooterSize;
    ArchiveFooter f = decodeFooter(footer);
    auto startingAt = [&](uint64_t at) {
        if (at <= end && end - at >= 2 * uint64_t(kRecoveryHeaderSize)) sizes.push_back(end - at);
    };
    if (f.auxSection2.size <= end && f.auxSection2.size >= 2 * uint64_t(kRecoveryHeaderSize)) {
        sizes.push_back(f.auxSection2.size);
    }
    startingAt(f.auxSection2.offset);
    if (f.auxSection1.offset <= end && f.auxSection1.size <= end - f.auxSection1.offset) {
        startingAt(f.auxSection1.offset + f.auxSection1.size);
    }
    std::sort(sizes.begin(), sizes.end());
    sizes.erase(std::unique(sizes.begin(), sizes.end()), sizes.end());
    return sizes;
}

// The protected size whose record at `hundredths` fills the file exactly, from the file's
// size alone: the record's size changes little with the archive's, so a few steps of
// taking the rest of the file as the archive find it, when there is one.
std::optional<uint64_t> protectedSizeFilling(uint64_t fileSize, uint32_t hundredths) {
    uint64_t protectedSize = fileSize;
    for (int step = 0; step < 8; ++step) {
        uint64_t record = planRecovery(protectedSize, hundredths).recordSize();
        if (record >= fileSize) return std::nullopt;
        if (fileSize - record == protectedSize) return protectedSize;
        protectedSize = fileSize - record;
    }
    return std::nullopt;
}

// Whether a header made with the layout's share hashes as one of the damaged copies, read
// where this layout puts them, did: what proves a share, since shares next to each other
// often plan the same layout.
bool provesShare(const RecoveryLayout& layout, const ArchiveFile& file) {
    std::string made = encodeRecoveryHeader(layout);
    for (int copy = 0; copy < 2; ++copy) {
        uint8_t stored[8];
        if (file.readAt(layout.headerOffset(copy) + kHeaderHashed, stored, 8) &&
            std::memcmp(stored, &made[kHeaderHashed], 8) == 0) {
            return true;
        }
    }
    return false;
}

bool sameLayout(const RecoveryLayout& a, const RecoveryLayout& b) {
    const RecoveryGeometry &x = a.geometry, &y = b.geometry;
    return x.protectedSize == y.protectedSize && x.groups == y.groups && x.parityPerGroup == y.parityPerGroup &&
           x.dataCells == y.dataCells;
}

// Both header copies damaged: the geometry planned again for a record that ends where the
// footer begins, with a size the footer says, else, where the footer says nothing that fits,
// with the size each share would fill the file with (`fromSizeAlone`, for a file thought
// damaged: it plans every share). Of the layouts the record's bytes bear out, the best borne
// out is taken, at a share that makes a header hashing as a damaged copy did where one does.
std::optional<RecoveryLayout> plannedRecord(uint64_t fileSize, const uint8_t* footer, const ArchiveFile& file,
                                            bool fromSizeAlone) {
    if (fileSize < kFooterSize + 2 * uint64_t(kRecoveryHeaderSize)) return std::nullopt;
    std::optional<RecoveryLayout> best;
    Borne bestBorne = Borne::kNot;
    std::optional<RecoveryLayout> tried;  // each layout's bytes are read once, however many shares plan it
    auto consider = [&](uint64_t protectedSize, uint32_t hundredths) {
        if (protectedSize < kFooterSize) return;
        RecoveryLayout layout{planRecovery(protectedSize, hundredths), protectedSize - kFooterSize};
        if (layout.fileSize() != fileSize) return;
        if (best && sameLayout(layout, *best)) {
            if (!best->shareProven && provesShare(layout, file)) best = layout;
            return;
        }
        if (tried && sameLayout(layout, *tried)) return;
        tried = layout;
        Borne borne = borneOut(layout, file);
        if (borne <= bestBorne) return;
        layout.shareProven = provesShare(layout, file);
        best = layout;
        bestBorne = borne;
    };
    std::vector<uint64_t> sizes = sizesFromFooter(fileSize, footer);
    for (uint32_t h = kMinRecoveryHundredths; h <= kMaxRecoveryHundredths; ++h) {
        for (uint64_t size : sizes) consider(fileSize - size, h);
    }
    // A footer whose second section is empty says the archive has no record: only one
    // thought damaged is planned from its size alone.
    bool saysNone = footer != nullptr && decodeFooter(footer).auxSection2.size == 0;
    if (bestBorne != Borne::kBoth && fromSizeAlone && !saysNone) {
        for (uint32_t h = kMinRecoveryHundredths; h <= kMaxRecoveryHundredths; ++h) {
            if (std::optional<uint64_t> protectedSize = protectedSizeFilling(fileSize, h)) consider(*protectedSize, h);
        }
    }
    return best;
}

}  // namespace

std::optional<RecoveryLayout> findRecoveryRecord(uint64_t fileSize, const uint8_t* footer, const ArchiveFile& file,
                                                 bool searchBack) {
    uint8_t header[kRecoveryHeaderSize];
    auto tryAt = [&](uint64_t at) -> std::optional<RecoveryLayout> {
        if (at > fileSize || fileSize - at < kRecoveryHeaderSize || !file.readAt(at, header, kRecoveryHeaderSize)) {
            return std::nullopt;
        }
        auto layout = decodeRecoveryHeader(header, fileSize);
        if (layout && (layout->headerOffset(0) == at || layout->headerOffset(1) == at)) return layout;
        return std::nullopt;
    };
    if (footer != nullptr) {
        uint64_t at = loadBE64(footer + 80), size = loadBE64(footer + 88);
        if (size >= kRecoveryHeaderSize) {
            if (auto found = tryAt(at)) return found;
            if (at <= fileSize && size <= fileSize - at) {
                if (auto found = tryAt(at + size - kRecoveryHeaderSize)) return found;
            }
        }
    }
    if (fileSize >= kFooterSize + kRecoveryHeaderSize) {
        if (auto found = tryAt(fileSize - kFooterSize - kRecoveryHeaderSize)) return found;
    }
    if (!searchBack) return plannedRecord(fileSize, footer, file, false);
    // Searching back from the end, a piece at a time, overlapping by a header's length.
    constexpr uint32_t kSearchPiece = 1 << 20;
    std::vector<uint8_t> piece(kSearchPiece);
    for (uint64_t end = fileSize; end >= kRecoveryHeaderSize;) {
        uint64_t start = end > kSearchPiece ? end - kSearchPiece : 0;
        uint32_t length = uint32_t(end - start);
        if (!file.readAt(start, piece.data(), length)) return std::nullopt;
        std::string_view text(reinterpret_cast<const char*>(piece.data()), length);
        for (size_t i = text.rfind(kRecoveryMagic); i != std::string_view::npos;
             i = i == 0 ? std::string_view::npos : text.rfind(kRecoveryMagic, i - 1)) {
            if (auto found = tryAt(start + i)) return found;
        }
        if (start == 0) break;
        end = start + kRecoveryHeaderSize;
    }
    return plannedRecord(fileSize, footer, file, true);
}

}  // namespace qev
