// Running the tool, in process through its seam or as the real binary, and the texts
// that every run is checked against.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "shell/console.h"

namespace qev::testing {

struct ToolRun {
    std::string out;
    std::string err;
    int exitCode = -1;
    int signal = 0;  // the signal that ended a real process, if one did
};

// Calls the tool's entry with `args` as argv (args[0] is the invocation name).
ToolRun runInProcess(const std::vector<std::string>& args);

// Calls any program's seam the same way, with in-memory sinks.
using Seam = std::function<int(int argc, const char* const* argv, Console& console)>;
ToolRun runSeam(const Seam& seam, const std::vector<std::string>& args);

struct ProcessOptions {
    std::string stdoutPath;                // empty: capture standard output
    bool stdoutPipeWithoutReader = false;  // standard output is a pipe nobody reads
    std::string workingDirectory;
    // A command that runs the tool, such as {"prlimit", "--as=..."}: it is started with
    // the tool's path and args[1...] appended, and args[0] is then not used.
    std::vector<std::string> wrapper;
    std::string program = QEV_TOOL_PATH;  // the built program to run
};

// Runs the built program (qev-tool unless told) with `args` as argv; args[0] is the
// invocation name it sees.
ToolRun runBinary(const std::vector<std::string>& args, const ProcessOptions& options = {});

// The exact usage text for an invocation name.
std::string usageText(const std::string& invocationName);

}  // namespace qev::testing
