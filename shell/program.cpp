#include "shell/program.h"

#include <algorithm>
#include <exception>
#include <new>
#include <thread>

#include "archive/records/archive_proof.h"
#include "system/process.h"
#include "system/stop_signals.h"
#include "system/text.h"

namespace qev {
namespace {

std::optional<unsigned> parseJobCount(std::string_view text) {
    unsigned value = 0;
    if (text.empty() || text.size() > 4) return std::nullopt;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + unsigned(c - '0');
    }
    if (value == 0 || value > 1024) return std::nullopt;
    return value;
}

}  // namespace

OptionTable commonOptions(CommonOptions& common) {
    auto progress = [&common](bool on) {
        return [&common, on](std::string_view) {
            common.progress = on;
            return std::string();
        };
    };
    return {
        {'j', "jobs", "N", "Workers, 1 to 1024 (default: one per core)",
         [&common](std::string_view value) {
             std::optional<unsigned> count = parseJobCount(value);
             if (!count) return "Invalid number of jobs: " + std::string(value);
             common.jobs = *count;
             return std::string();
         },
         "a number"},
        {0, "progress", {}, "Show a progress line (default: only on a terminal)", progress(true)},
        {0,
         "progress=json",
         {},
         "Write progress to standard error as one JSON object a line",
         [&common](std::string_view) {
             common.progress = true;
             common.progressJson = true;
             return std::string();
         }},
        {0, "no-progress", {}, "Show no progress line", progress(false)},
        {'h', "help", {}, "Show this help and exit", setFlag(common.help)},
        {0, "version", {}, "Show the version and exit", setFlag(common.version)},
    };
}

unsigned defaultJobs() { return std::max(1u, std::thread::hardware_concurrency()); }

int runProgram(const ProgramSpec& program, int argc, const char* const* argv, Console& console,
               const OptionTable& table, CommonOptions& common, const std::function<int()>& body) {
    try {
        if (std::string error = parseCommandLine(argc, argv, table, common.positional); !error.empty()) {
            printError(console, kErrorPrefix, error);
            return 1;
        }
        if (common.help) return emitResult(console, helpText(program.usage, table));
        if (common.version) return printLine(console, std::string(program.name) + " " QEV_VERSION) ? 0 : 1;
        if (common.jobs == 0) common.jobs = defaultJobs();
        std::optional<StopSignals> signals;
        if (program.stoppable) signals.emplace();
        return body();
    } catch (const std::bad_alloc&) {
        printError(console, kOutOfMemory);
    } catch (const std::exception& e) {
        printError(console, kErrorPrefix, e.what());
    }
    return 1;
}

SharedIndex openOrReport(const std::string& path, Console& console) {
    auto index = ArchiveIndex::open(pathFromUtf8(path));
    if (index) return *index;
    printError(console, kFailedToOpen, path + ": " + describeOpenError(index.error()));
    return nullptr;
}

ProvenArchive openProvenOrReport(const std::string& path, bool quiet, Console& console) {
    SharedIndex index = openOrReport(path, console);
    if (!index) return {};
    ArchiveProof proof = proveArchive(*index);
    bool byRecovery = proof.blocks == BlockProof::kRecoveryRecord;
    if (!proof.mismatched.empty()) {
        std::string list;
        for (StructurePart part : proof.mismatched) list += (list.empty() ? "" : ", ") + std::string(partName(part));
        printError(console,
                   byRecovery ? "Error: The archive does not match its recovery record: "
                              : "Error: The archive does not match its integrity record: ",
                   list);
        return {};
    }
    if (proof.blocks == BlockProof::kUnproven && !quiet) {
        printWarning(console, "The integrity record is damaged, so blocks are not checked against it");
    }
    if (byRecovery && !quiet) {
        printWarning(console, recoveryProofWarning(proof) + ": " + path);
    }
    bool recovery = decodeFooter(proof.found.footer.data()).auxSection2.size > 0;
    return {index, proof.blockHashes, proof.blocks == BlockProof::kUnproven, recovery};
}

int runMain(int argc, char** argv, ProgramSeam seam) {
    Utf8Arguments arguments(argc, argv);
    Console console = processConsole();
    int code = seam(arguments.count(), arguments.values(), console);
    endByCaughtSignal();
    holdOwnConsoleOpen();
    return code;
}

}  // namespace qev
