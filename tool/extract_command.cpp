#include "tool/extract_command.h"

#include "archive/format/fixed_array.h"
#include "tool/messages.h"
#include "tool/open_for_command.h"

namespace qev::tool {

int runExtractCommand(const char* archivePath, const char* filePath, Console& console) {
    std::unique_ptr<ArchiveReader> reader = openForCommand(archivePath, console);
    if (!reader) return 1;
    const ArchiveIndex& index = reader->index();
    NodeId node = index.findPath(filePath);
    if (node == kInvalidNode || !index.isFile(node)) {
        printError(console, kFileNotFound, filePath);
        return 1;
    }
    // A size the blocks cannot back is refused before any memory is asked for it.
    if (!index.fileBlocksLocatable(node)) {
        printError(console, kIncompleteRead);
        return 1;
    }
    uint64_t size = index.fileSize(node);
    if (size > SIZE_MAX) throw std::bad_alloc();
    // Not zero-filled: every byte is overwritten by the read or never written out.
    auto buffer = FixedArray<uint8_t>::uninitialized(size_t(size));
    if (reader->readFile(node, 0, size, buffer.data()) != size) {
        printError(console, kIncompleteRead);
        return 1;
    }
    if (console.makeOutputBinary != nullptr) console.makeOutputBinary();
    return emitResult(console, {reinterpret_cast<const char*>(buffer.data()), buffer.size()});
}

}  // namespace qev::tool
