#include "system/new_file.h"

#include <algorithm>
#include <cerrno>
#include <vector>

namespace qev {

std::optional<SystemError> NewFile::copyThroughMemory(const InputFile& source, uint64_t from, uint64_t length,
                                                      uint64_t at) {
    std::vector<uint8_t> buffer(std::min<uint64_t>(length, 1 << 20));
    while (length > 0) {
        uint32_t piece = uint32_t(std::min<uint64_t>(length, buffer.size()));
        if (!source.readAt(from, buffer.data(), piece)) return SystemError{EIO, "the archive could not be read"};
        if (auto error = writeAt(buffer.data(), piece, at)) return error;
        from += piece;
        at += piece;
        length -= piece;
    }
    return std::nullopt;
}

}  // namespace qev
