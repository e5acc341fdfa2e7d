// Construction and destruction of a reader.
#include "archive/archive_reader.h"

#include <zstd.h>

#include <new>
#include <utility>

namespace qev {

void ArchiveReader::DecompressorFree::operator()(ZSTD_DCtx* context) const {
    ZSTD_freeDCtx(context);
}

ArchiveReader::ArchiveReader(std::unique_ptr<std::istream>& stream,
                             FixedArray<BlockOffsetRecord>& offsetRecords,
                             FixedArray<uint8_t>& nameTable, FixedArray<TreeEntry>& treeEntries,
                             uint64_t dataOffset, uint64_t dataSize)
    : stream(std::move(stream)),
      fileStream(dynamic_cast<const FileStream*>(this->stream.get())),
      offsetRecords(std::move(offsetRecords)),
      nameTable(std::move(nameTable)),
      treeEntries(std::move(treeEntries)),
      dataOffset(dataOffset),
      dataSize(dataSize),
      blockCount(uint64_t(kBlocksPerRecord) * this->offsetRecords.size()),
      compressedBuffer(FixedArray<uint8_t>::zeroed(kBlockSize)),
      decompressor(ZSTD_createDCtx()) {
    if (!decompressor) throw std::bad_alloc();
}

uint64_t ArchiveReader::tableBytes() const {
    return offsetRecords.size() * sizeof(BlockOffsetRecord) + nameTable.size() +
           treeEntries.size() * sizeof(TreeEntry);
}

// Members go in reverse declaration order; the stream's destruction closes the file.
ArchiveReader::~ArchiveReader() = default;

}  // namespace qev
