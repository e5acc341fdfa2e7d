#include "mount/mounted_archive.h"

#include "archive/read/archive_file.h"
#include "archive/records/archive_proof.h"
#include "system/posix/stat_fields.h"
#include "system/text.h"

namespace qev::mount {

std::string NotMounted::reason() const {
    switch (kind) {
        case Kind::kFileDidNotOpen:
        case Kind::kNotAnArchive: return "it cannot be opened: " + detail;
        case Kind::kMismatched:
            return std::string(byRecovery ? "it does not match its recovery record: "
                                          : "it does not match its integrity record: ") +
                   detail;
        case Kind::kTreeUnreadable: return "its file tree cannot be read";
    }
    return detail;
}

Expected<std::shared_ptr<MountedArchive>, NotMounted> openMounted(const std::string& path,
                                                                  const std::shared_ptr<SharedCache>& tablePages,
                                                                  SharedCache& blocks) {
    std::unique_ptr<ArchiveFile> file = openArchiveFile(pathFromUtf8(path));
    auto opened = ArchiveIndex::createOnDemand(file, tablePages);
    if (!opened) {
        bool file = opened.error().check == OpenCheck::kFileOpens;
        return NotMounted{file ? NotMounted::Kind::kFileDidNotOpen : NotMounted::Kind::kNotAnArchive,
                          describeOpenError(opened.error())};
    }
    auto a = std::make_shared<MountedArchive>();
    a->index = *opened;
    // The tables are hashed as they lie in the file, a piece at a time.
    ArchiveProof proof = proveArchive(*a->index);
    if (!proof.mismatched.empty()) {
        std::string list;
        for (StructurePart part : proof.mismatched) list += (list.empty() ? "" : ", ") + std::string(partName(part));
        return NotMounted{NotMounted::Kind::kMismatched, list, proof.blocks == BlockProof::kRecoveryRecord};
    }
    a->blockHashes = proof.blockHashes;
    a->unproven = proof.blocks == BlockProof::kUnproven;
    if (proof.blocks == BlockProof::kRecoveryRecord) a->provenByRecovery = recoveryProofWarning(proof);
    a->shape = examineTreeShape(*a->index);
    if (!a->shape.readable) return NotMounted{NotMounted::Kind::kTreeUnreadable, ""};
    if (auto status = a->index->file().openedStatus()) {
        a->status = *status;
        a->times.st_atim = timespecOf(status->accessed);
        a->times.st_mtim = timespecOf(status->modified);
        a->times.st_ctim = timespecOf(status->changed);
    }
    a->blockOwner = blocks.newOwner();
    a->path = path;
    return a;
}

}  // namespace qev::mount
