#include "check/repair.h"

#include <algorithm>
#include <cstring>
#include <sstream>

#include "archive/recovery_repair.h"
#include "check/recovery_status.h"
#include "check/run_check.h"
#include "system/file.h"
#include "system/text.h"

namespace qev::check {
namespace {

// The archive as it will be once the patches are written: the file's bytes, with the
// patches over them.
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

int refuse(Console& console, const Options& o, const std::string& why) {
    printError(console, "Error: Cannot repair " + o.archive + ": ", why);
    return 1;
}

// Writes the patches where they belong in the file that was read, reads them back, syncs.
std::string writePatches(const Options& o, const ArchiveFile& read, const std::vector<Patch>& patches) {
    auto file = FileInPlace::open(pathFromUtf8(o.archive));
    if (!file) return lastSystemError();
    auto now = file->status();
    auto then = read.openedStatus();
    // The same file, unchanged since it was read: otherwise the patches would mend another.
    if (!now || !then || now->identity != then->identity || !sameContents(*then, *now) || read.changedSinceOpen()) {
        return "it changed while it was being repaired; nothing was written";
    }
    for (const Patch& p : patches) {
        if (!file->writeAt(p.offset, reinterpret_cast<const uint8_t*>(p.bytes.data()), uint32_t(p.bytes.size()))) {
            return lastSystemError();
        }
    }
    if (!file->sync()) return lastSystemError();
    std::string back;
    for (const Patch& p : patches) {
        back.resize(p.bytes.size());
        if (!file->readAt(p.offset, reinterpret_cast<uint8_t*>(back.data()), uint32_t(back.size())) || back != p.bytes) {
            return "the repaired bytes did not read back as written";
        }
    }
    return {};
}

}  // namespace

int repairArchive(const Options& o, Console& console) {
    std::unique_ptr<ArchiveFile> file = openArchiveFile(pathFromUtf8(o.archive));
    if (!file) return refuse(console, o, lastSystemError());
    RecoveryStatus status =
        assessRecovery(*file, /*damaged=*/true, console, o.progress.value_or(console.errorIsTerminal));
    if (!status.present) return refuse(console, o, "no recovery record fits it (it has none, or its size changed since it was written)");
    if (!status.damage) return refuse(console, o, status.unreadable);
    const RecoveryDamage& damage = *status.damage;
    if (!damage.any()) return checkArchive(o, console, std::move(file), {});
    std::string why;
    ReadFileAt read = [&](uint64_t offset, uint8_t* into, uint32_t count) { return file->readAt(offset, into, count); };
    std::optional<std::vector<Patch>> patches = rebuildDamage(damage, read, why);
    if (!patches) return refuse(console, o, why + "; nothing was written");

    // The whole archive as repaired passes the check before a byte is written.
    Repaired repaired{0, patches->size()};
    for (const Patch& p : *patches) repaired.bytes += p.bytes.size();
    std::ostringstream out, err;
    Console quiet{out, err};
    Options verify = o;
    verify.progress = false;
    if (checkArchive(verify, quiet, std::make_unique<PatchedFile>(*file, *patches), repaired) != 0) {
        return refuse(console, o, "the rebuilt archive does not pass the check; nothing was written");
    }
    if (std::string error = writePatches(o, *file, *patches); !error.empty()) {
        printError(console, "Error: Failed to write " + o.archive + ": ", error);
        return 1;
    }
    console.out << out.str();
    console.out.flush();
    console.err << err.str();
    console.err.flush();
    if (!console.out.good()) {
        printError(console, kOutputFailed);
        return 1;
    }
    return 0;
}

}  // namespace qev::check
