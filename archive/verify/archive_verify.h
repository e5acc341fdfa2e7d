// The whole check of an opened archive, as qev-check and the library's qev_verify run it:
// the tree walked for what is wrong with it, the tables and the footer against the
// integrity record, and every block read, decompressed and proven. Typed findings, each
// with its line; nothing printed.
#pragma once

#include <cstdint>
#include <functional>

#include "archive/read/archive_index.h"
#include "archive/records/archive_proof.h"
#include "archive/verify/block_check.h"
#include "archive/verify/findings.h"
#include "archive/verify/tree_survey.h"

namespace qev {

struct VerifyOptions {
    // The integrity record found and the tables and the footer checked against it.
    bool structure = true;
    // The blocks are to be proven: a damaged record gives way to the recovery record, and
    // "unproven" is found where nothing can. Needs `structure`.
    bool blocks = true;
    // Every block read here, decompressed and checked against what proves it. Without it a
    // caller that reads every file itself (a comparison with a folder) proves them.
    bool readBlocks = true;
    unsigned jobs = 1;
    WalkSink list;  // each reachable entry as the walk meets it; may be empty
    // Blocks done and in all, about ten times a second while they are read and once when
    // all are; false stops the check (the last call's answer changes nothing).
    std::function<bool(uint64_t done, uint64_t total)> progress;
};

struct Verification {
    Survey survey;
    BlockStats blocks;              // the needed blocks, by kind
    ArchiveProof proof;             // when `structure` was asked
    uint64_t recordMismatches = 0;  // parts and blocks unlike what proves them
    Findings findings;
    bool stopped = false;  // progress asked to stop: the blocks were not all read
};

// Throws nothing but for lack of memory, or where a worker thread cannot start.
Verification verifyArchive(const SharedIndex& index, const VerifyOptions& options);

}  // namespace qev
