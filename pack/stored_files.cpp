#include "pack/stored_files.h"

namespace qev::pack {

void StoredFiles::add(const Entry& entry) {
    // At most half full, so probe runs stay short.
    if (2 * (entries_.size() + 1) > slots_.size()) grow();
    entries_.push_back(entry);
    size_t i = entry.key & mask();
    while (slots_[i] != 0) i = (i + 1) & mask();
    slots_[i] = uint32_t(entries_.size());
}

void StoredFiles::grow() {
    slots_.assign(slots_.empty() ? 64 : 2 * slots_.size(), 0);
    for (size_t e = 0; e < entries_.size(); ++e) {
        size_t i = entries_[e].key & mask();
        while (slots_[i] != 0) i = (i + 1) & mask();
        slots_[i] = uint32_t(e + 1);
    }
}

}  // namespace qev::pack
