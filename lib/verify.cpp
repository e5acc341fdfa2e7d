// qev_verify: the check qev-check runs, its findings handed to the caller typed.
#define QEV_BUILDING
#include "lib/boundary.h"

#include <cstddef>
#include <thread>

#include "archive/verify/archive_verify.h"

namespace qev::lib {
namespace {

void handOut(const qev_verify_options& o, const Finding& f) {
    qev_finding out{};
    out.struct_size = sizeof out;
    out.severity = f.error ? QEV_FINDING_ERROR : QEV_FINDING_WARNING;
    out.kind = f.kind.c_str();
    out.entry = f.entry;
    out.block = f.block.value_or(QEV_NO_BLOCK);
    out.offset = f.offset;
    out.size = f.size;
    out.message = f.text.c_str();
    o.finding(o.user_data, &out);
}

}  // namespace
}  // namespace qev::lib

using namespace qev::lib;

extern "C" {

void qev_verify_options_init(qev_verify_options* options) {
    if (options == nullptr) return;
    *options = {};
    options->struct_size = sizeof(qev_verify_options);
}

qev_status qev_verify(const qev_archive* archive, const qev_verify_options* given, qev_verify_result* result,
                      qev_error** error) {
    return guarded(error, [&] {
        if (archive == nullptr || (result != nullptr && result->struct_size < sizeof(qev_verify_result))) {
            return fail(error, QEV_ERROR_INVALID_ARGUMENT, "No archive, or a result too small");
        }
        qev_verify_options o = knownFields(given, qev_verify_options_init);
        qev::VerifyOptions verify;
        verify.jobs = o.threads != 0 ? o.threads : std::max(1u, std::thread::hardware_concurrency());
        if (o.progress != nullptr) {
            verify.progress = [&](uint64_t done, uint64_t total) {
                return o.progress(o.user_data, done * qev::kBlockSize, total * qev::kBlockSize) == 0;
            };
        }
        qev::Verification v = qev::verifyArchive(archive->index, verify);
        if (v.stopped) return fail(error, QEV_ERROR_STOPPED, "Stopped by the caller");
        if (o.finding != nullptr) {
            for (const qev::Finding& f : v.findings.items) handOut(o, f);
        }
        if (result != nullptr) {
            result->errors = v.findings.errors;
            result->warnings = v.findings.warnings;
        }
        return QEV_OK;
    });
}

}  // extern "C"
