// An in-memory input stream that logs every read, so tests can see which bytes of the
// archive a reader asked for, and in what order.
#pragma once

#include <cstdint>
#include <istream>
#include <memory>
#include <streambuf>
#include <string>
#include <vector>

namespace qev::testing {

struct ReadCall {
    uint64_t offset;
    uint64_t count;
    bool operator==(const ReadCall&) const = default;
};

class RecordingBuf : public std::streambuf {
public:
    explicit RecordingBuf(std::string bytes) : bytes_(std::move(bytes)) {}
    std::vector<ReadCall> reads;
    // Bytes the file "has" from now on, as when another process truncates it.
    void truncate(size_t size) { bytes_.resize(std::min(size, bytes_.size())); }

protected:
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) override;
    pos_type seekpos(pos_type pos, std::ios_base::openmode) override;
    std::streamsize xsgetn(char* dst, std::streamsize count) override;
    int_type underflow() override { return traits_type::eof(); }

private:
    std::string bytes_;
    uint64_t pos_ = 0;
};

class RecordingStream : public std::istream {
public:
    explicit RecordingStream(std::string bytes) : std::istream(nullptr), buf_(std::move(bytes)) { rdbuf(&buf_); }
    RecordingBuf& buf() { return buf_; }

private:
    RecordingBuf buf_;
};

}  // namespace qev::testing
