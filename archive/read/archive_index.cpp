// Opening: the footer checks, loading the three tables and the root check.
#include "archive/read/archive_index.h"

#include <stdexcept>

#include "system/text.h"

namespace qev {
namespace {

using Failure = std::optional<OpenError>;

Failure check(bool passed, OpenCheck which) { return passed ? Failure() : Failure(OpenError{which}); }

Failure checkSections(const ArchiveFooter& footer, uint64_t fileSize) {
    std::array<const SectionRange*, 6> sections = footer.sections();
    for (uint8_t i = 0; i < sections.size(); ++i) {
        const SectionRange& s = *sections[i];
        // offset + size may wrap, so compare without adding.
        if (s.offset > fileSize || s.size > fileSize - s.offset) {
            return OpenError{OpenCheck::kSectionWithinFile, i};
        }
    }
    return std::nullopt;
}

Failure checkFooter(const ArchiveFooter& f, uint64_t fileSize) {
    if (Failure e = check(f.magic == kArchiveMagic, OpenCheck::kMagic)) return e;
    if (Failure e = check(f.formatVersion == kFormatVersion, OpenCheck::kFormatVersion)) return e;
    if (Failure e = check(f.archiveSize == fileSize, OpenCheck::kArchiveSize)) return e;
    if (Failure e = checkSections(f, fileSize)) return e;
    if (f.offsetSection.size > kMaxOffsetSectionSize) return OpenError{OpenCheck::kOffsetTableLimit};
    if (f.nameSection.size > kMaxNameSectionSize) return OpenError{OpenCheck::kNameTableLimit};
    if (f.treeSection.size > kMaxTreeSectionSize) return OpenError{OpenCheck::kTreeLimit};
    return check(f.offsetSection.size % kOffsetRecordSize == 0 && f.offsetSection.size != 0,
                 OpenCheck::kOffsetTableShape);
}

// Reads a whole section in one call into a table of T and converts it to host order in
// place. The footer checks keep section.size within 32 bits.
template <typename T>
bool loadTable(const ArchiveFile& file, const SectionRange& section, FixedArray<T>& out,
               void (*decodeInPlace)(T*, size_t) = nullptr) {
    auto table = FixedArray<T>::uninitialized(size_t(section.size / sizeof(T)));
    auto* bytes = reinterpret_cast<uint8_t*>(table.data());
    if (!file.readAt(section.offset, bytes, uint32_t(section.size))) return false;
    if (decodeInPlace != nullptr) decodeInPlace(table.data(), table.size());
    out = std::move(table);
    return true;
}

Failure checkRoot(const FixedArray<TreeEntry>& tree, const FixedArray<uint8_t>& names) {
    const TreeEntry& root = tree[0];
    if (root.isFile()) return OpenError{OpenCheck::kRootIsDirectory};
    return check(decodeName(names.data(), names.size(), root.nameOffset()).empty(), OpenCheck::kRootUnnamed);
}

constexpr std::string_view kSectionNames[] = {"data section", "block offset table", "name table",
                                              "file tree",    "section 4",          "section 5"};

}  // namespace

std::string describeOpenError(const OpenError& error) {
    switch (error.check) {
        case OpenCheck::kFileOpens:
            return error.systemError != 0 ? systemErrorText(error.systemError)
                                          : "the file cannot be opened for reading, or is not a regular file";
        case OpenCheck::kSizeKnown: return "the file's size cannot be found";
        case OpenCheck::kLargerThanFooter: return "the file is too small to hold the 144-byte footer";
        case OpenCheck::kFooterReadable: return "the footer cannot be read";
        case OpenCheck::kMagic: return "the footer's magic number is wrong: not a QEV archive";
        case OpenCheck::kFormatVersion: return "the footer's format version is not supported";
        case OpenCheck::kArchiveSize: return "the footer's archive size differs from the file's size";
        case OpenCheck::kSectionWithinFile:
            return "the " + std::string(kSectionNames[error.section % 6]) + " reaches past the end of the file";
        case OpenCheck::kOffsetTableLimit: return "the block offset table is larger than the format allows";
        case OpenCheck::kNameTableLimit: return "the name table is larger than the format allows";
        case OpenCheck::kTreeLimit: return "the file tree is larger than the format allows";
        case OpenCheck::kOffsetTableShape: return "the block offset table's size is 0 or not a multiple of 40";
        case OpenCheck::kOffsetTableReadable: return "the block offset table cannot be read";
        case OpenCheck::kNameTableReadable: return "the name table cannot be read";
        case OpenCheck::kTreeShape: return "the file tree's size is 0 or not a multiple of 16";
        case OpenCheck::kTreeReadable: return "the file tree cannot be read";
        case OpenCheck::kRootIsDirectory: return "the root entry is a file, not a directory";
        case OpenCheck::kRootUnnamed: return "the root entry has a name";
    }
    return "the archive is not valid";
}

namespace {

Expected<ArchiveFooter, OpenError> readFooter(const std::unique_ptr<ArchiveFile>& file) {
    if (!file) return OpenError{OpenCheck::kFileOpens, 0, lastSystemErrorCode()};
    std::optional<uint64_t> size = file->size();
    if (!size) return OpenError{OpenCheck::kSizeKnown};
    uint64_t fileSize = *size;
    if (fileSize <= kFooterSize) return OpenError{OpenCheck::kLargerThanFooter};

    uint8_t footerBytes[kFooterSize];
    if (!file->readAt(fileSize - kFooterSize, footerBytes, kFooterSize)) {
        return OpenError{OpenCheck::kFooterReadable};
    }
    ArchiveFooter footer = decodeFooter(footerBytes);
    if (Failure e = checkFooter(footer, fileSize)) return *e;
    return footer;
}

}  // namespace

Expected<SharedIndex, OpenError> ArchiveIndex::create(std::unique_ptr<ArchiveFile>& file) {
    auto read = readFooter(file);
    if (!read) return read.error();
    const ArchiveFooter& footer = *read;

    FixedArray<BlockOffsetRecord> records;
    FixedArray<uint8_t> names;
    FixedArray<TreeEntry> tree;
    if (!loadTable(*file, footer.offsetSection, records, decodeOffsetRecordsInPlace)) {
        return OpenError{OpenCheck::kOffsetTableReadable};
    }
    if (!loadTable(*file, footer.nameSection, names)) return OpenError{OpenCheck::kNameTableReadable};
    if (footer.treeSection.size % kTreeEntrySize != 0 || footer.treeSection.size == 0) {
        return OpenError{OpenCheck::kTreeShape};
    }
    if (!loadTable(*file, footer.treeSection, tree, decodeTreeEntriesInPlace)) {
        return OpenError{OpenCheck::kTreeReadable};
    }
    if (Failure e = checkRoot(tree, names)) return *e;

    return SharedIndex(
        new ArchiveIndex(std::move(file), std::move(records), std::move(names), std::move(tree), footer));
}

Expected<SharedIndex, OpenError> ArchiveIndex::open(const std::filesystem::path& path) {
    std::unique_ptr<ArchiveFile> file = openArchiveFile(path);
    // On failure the handle still owns the file and closes it as it goes.
    return create(file);
}

Expected<SharedIndex, OpenError> ArchiveIndex::createOnDemand(std::unique_ptr<ArchiveFile>& file,
                                                              std::shared_ptr<SharedCache> pages) {
    if (!pages || pages->slotSize() != kTablePageSize) throw std::invalid_argument("table pages of the wrong size");
    auto read = readFooter(file);
    if (!read) return read.error();
    const ArchiveFooter& footer = *read;
    if (footer.treeSection.size % kTreeEntrySize != 0 || footer.treeSection.size == 0) {
        return OpenError{OpenCheck::kTreeShape};
    }
    std::unique_ptr<ArchiveIndex> index(new ArchiveIndex(std::move(file), {}, {}, {}, footer, std::move(pages)));
    // The root is checked as whole tables check it; on failure the caller gets the file back.
    auto giveBack = [&](OpenCheck check) -> OpenError {
        file = std::move(index->file_);
        return OpenError{check};
    };
    std::optional<TreeEntry> root = index->treeEntry(0);
    if (!root) return giveBack(OpenCheck::kTreeReadable);
    if (root->isFile()) return giveBack(OpenCheck::kRootIsDirectory);
    std::string scratch;
    std::optional<std::string_view> name = index->nameAt(root->nameOffset(), scratch);
    if (!name) return giveBack(OpenCheck::kNameTableReadable);
    if (!name->empty()) return giveBack(OpenCheck::kRootUnnamed);
    return SharedIndex(std::move(index));
}

ArchiveIndex::ArchiveIndex(std::unique_ptr<ArchiveFile> file, FixedArray<BlockOffsetRecord> offsetRecords,
                           FixedArray<uint8_t> nameTable, FixedArray<TreeEntry> treeEntries,
                           const ArchiveFooter& footer, std::shared_ptr<SharedCache> pages)
    : file_(std::move(file)),
      offsetRecords_(std::move(offsetRecords)),
      nameTable_(std::move(nameTable)),
      treeEntries_(std::move(treeEntries)),
      dataOffset_(footer.dataSection.offset),
      dataSize_(footer.dataSection.size),
      blockCount_(uint64_t(kBlocksPerRecord) * (footer.offsetSection.size / kOffsetRecordSize)),
      archiveSize_(footer.archiveSize),
      treeSize_(uint32_t(footer.treeSection.size / kTreeEntrySize)),
      tables_{footer.offsetSection, footer.nameSection, footer.treeSection},
      pages_(std::move(pages)),
      owner_(pages_ ? pages_->newOwner() : 0) {
    if (!pages_) held_.emplace(nameTable_, treeEntries_);
}

uint64_t ArchiveIndex::tableBytes() const {
    return offsetRecords_.size() * sizeof(BlockOffsetRecord) + nameTable_.size() +
           treeEntries_.size() * sizeof(TreeEntry);
}

}  // namespace qev
