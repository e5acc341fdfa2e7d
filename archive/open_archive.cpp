// Opening: the footer checks, loading the three tables and the root check.
#include <limits>

#include "archive/archive_reader.h"
#include "archive/file_stream.h"

namespace qev {
namespace {

bool sectionsWithinFile(const ArchiveFooter& footer, uint64_t fileSize) {
    for (const SectionRange* s : footer.sections()) {
        // offset + size may wrap, so compare without adding.
        if (s->offset > fileSize || s->size > fileSize - s->offset) return false;
    }
    return true;
}

bool footerAcceptable(const ArchiveFooter& f, uint64_t fileSize) {
    return f.magic == kArchiveMagic && f.formatVersion == kFormatVersion &&
           f.archiveSize == fileSize && sectionsWithinFile(f, fileSize) &&
           f.offsetSection.size <= kMaxOffsetSectionSize &&
           f.nameSection.size <= kMaxNameSectionSize && f.treeSection.size <= kMaxTreeSectionSize &&
           f.offsetSection.size % kOffsetRecordSize == 0 && f.offsetSection.size != 0;
}

bool treeSizeAcceptable(const ArchiveFooter& f) {
    return f.treeSection.size % kTreeEntrySize == 0 && f.treeSection.size != 0;
}

// Reads a whole section in one call into a table of T and converts it to host order in
// place. The footer checks keep section.size within 32 bits.
template <typename T>
bool loadTable(std::istream& stream, const SectionRange& section, FixedArray<T>& out,
               void (*decodeInPlace)(T*, size_t) = nullptr) {
    auto table = FixedArray<T>::uninitialized(size_t(section.size / sizeof(T)));
    auto* bytes = reinterpret_cast<uint8_t*>(table.data());
    if (!readAt(stream, section.offset, bytes, uint32_t(section.size))) return false;
    if (decodeInPlace != nullptr) decodeInPlace(table.data(), table.size());
    out = std::move(table);
    return true;
}

bool rootAcceptable(const FixedArray<TreeEntry>& tree, const FixedArray<uint8_t>& names) {
    const TreeEntry& root = tree[0];
    return !root.isFile() && decodeName(names.data(), names.size(), root.nameOffset()).empty();
}

}  // namespace

bool readAt(std::istream& stream, uint64_t offset, uint8_t* destination, uint32_t count) {
    if (count == 0) return true;
    if (offset > uint64_t(std::numeric_limits<std::streamoff>::max())) return false;
    // An earlier failure must not stick: a later read of other bytes may well succeed.
    stream.clear();
    if (!stream.seekg(std::streamoff(offset), std::ios::beg)) return false;
    stream.read(reinterpret_cast<char*>(destination), std::streamsize(count));
    return uint64_t(stream.gcount()) == count;
}

std::unique_ptr<ArchiveReader> openArchiveStream(std::unique_ptr<std::istream>& stream) {
    if (!stream) return nullptr;
    std::istream& in = *stream;
    in.clear();
    if (!in.seekg(0, std::ios::end)) return nullptr;
    std::streamoff end = in.tellg();
    if (end < 0) return nullptr;
    uint64_t fileSize = uint64_t(end);
    if (fileSize <= kFooterSize) return nullptr;

    uint8_t footerBytes[kFooterSize];
    if (!readAt(in, fileSize - kFooterSize, footerBytes, kFooterSize)) return nullptr;
    ArchiveFooter footer = decodeFooter(footerBytes);
    if (!footerAcceptable(footer, fileSize)) return nullptr;

    FixedArray<BlockOffsetRecord> records;
    FixedArray<uint8_t> names;
    FixedArray<TreeEntry> tree;
    if (!loadTable(in, footer.offsetSection, records, decodeOffsetRecordsInPlace)) return nullptr;
    if (!loadTable(in, footer.nameSection, names)) return nullptr;
    if (!treeSizeAcceptable(footer)) return nullptr;
    if (!loadTable(in, footer.treeSection, tree, decodeTreeEntriesInPlace)) return nullptr;
    if (!rootAcceptable(tree, names)) return nullptr;

    return std::make_unique<ArchiveReader>(stream, records, names, tree, footer.dataSection.offset,
                                           footer.dataSection.size);
}

std::unique_ptr<ArchiveReader> openArchive(const std::filesystem::path& path) {
    std::unique_ptr<std::istream> stream = openInputFile(path);
    // On failure the handle still owns the stream and closes the file as it goes.
    return openArchiveStream(stream);
}

}  // namespace qev
