#include "tests/support/recording_stream.h"

#include <algorithm>
#include <cstring>

namespace qev::testing {

RecordingBuf::pos_type RecordingBuf::seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode mode) {
    off_type from = dir == std::ios_base::beg   ? 0
                    : dir == std::ios_base::cur ? off_type(pos_)
                                                : off_type(bytes_.size());
    return seekpos(pos_type(from + off), mode);
}

RecordingBuf::pos_type RecordingBuf::seekpos(pos_type pos, std::ios_base::openmode) {
    if (off_type(pos) < 0) return pos_type(off_type(-1));
    pos_ = uint64_t(off_type(pos));
    return pos;
}

std::streamsize RecordingBuf::xsgetn(char* dst, std::streamsize count) {
    reads.push_back({pos_, uint64_t(count)});
    uint64_t available = pos_ < bytes_.size() ? bytes_.size() - pos_ : 0;
    size_t n = size_t(std::min<uint64_t>(available, uint64_t(count)));
    if (n > 0) std::memcpy(dst, bytes_.data() + pos_, n);
    pos_ += n;
    return std::streamsize(n);
}

}  // namespace qev::testing
