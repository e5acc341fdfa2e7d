// The archive as it will be once a repair's patches are written: the file's bytes, with
// the patches over them.
#pragma once

#include <algorithm>
#include <cstring>
#include <vector>

#include "archive/read/archive_file.h"
#include "archive/records/recovery_repair.h"

namespace qev::check {

class PatchedFile : public ArchiveFile {
public:
    PatchedFile(const ArchiveFile& base, const std::vector<Patch>& patches) : base_(base), patches_(patches) {}

    bool readAt(uint64_t offset, uint8_t* into, uint32_t count) const override {
        if (!base_.readAt(offset, into, count)) return false;
        uint64_t end = offset + count;
        // Patches ascend and do not overlap: start from the last one beginning before `offset`.
        auto it = std::upper_bound(patches_.begin(), patches_.end(), offset,
                                   [](uint64_t at, const Patch& p) { return at < p.offset; });
        if (it != patches_.begin()) --it;
        for (; it != patches_.end() && it->offset < end; ++it) {
            uint64_t from = std::max(offset, it->offset), to = std::min(end, it->offset + it->bytes.size());
            if (from < to) std::memcpy(into + (from - offset), it->bytes.data() + (from - it->offset), to - from);
        }
        return true;
    }
    std::optional<uint64_t> size() const override { return base_.size(); }

private:
    const ArchiveFile& base_;
    const std::vector<Patch>& patches_;
};

}  // namespace qev::check
