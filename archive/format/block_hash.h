// The one hash of this toolset's records: XXH3 (xxHash 0.8, seed 0), 64 bits; a block's
// keeps the low 32 bits.
#pragma once

#include <cstdint>
#include <string_view>

namespace qev {

uint64_t hashBytes(std::string_view bytes);
inline uint32_t blockHash(std::string_view stored) { return uint32_t(hashBytes(stored)); }

// The same, fed piece by piece.
class StreamHash {
public:
    StreamHash();
    ~StreamHash();
    StreamHash(const StreamHash&) = delete;
    StreamHash& operator=(const StreamHash&) = delete;
    void update(std::string_view bytes);
    uint64_t value() const;

private:
    void* state_;
};

}  // namespace qev
