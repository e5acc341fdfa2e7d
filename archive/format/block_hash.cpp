#include "archive/format/block_hash.h"

#include <xxhash.h>

#include <new>

namespace qev {

uint64_t hashBytes(std::string_view bytes) { return XXH3_64bits(bytes.data(), bytes.size()); }

StreamHash::StreamHash() : state_(XXH3_createState()) {
    if (state_ == nullptr) throw std::bad_alloc();
    XXH3_64bits_reset(static_cast<XXH3_state_t*>(state_));
}

StreamHash::~StreamHash() { XXH3_freeState(static_cast<XXH3_state_t*>(state_)); }

void StreamHash::update(std::string_view bytes) {
    XXH3_64bits_update(static_cast<XXH3_state_t*>(state_), bytes.data(), bytes.size());
}

uint64_t StreamHash::value() const { return XXH3_64bits_digest(static_cast<const XXH3_state_t*>(state_)); }

}  // namespace qev
