#include "tests/support/tool_run.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <stdexcept>

#include "tests/support/test_files.h"
#include "tool/entry.h"

extern char** environ;

namespace qev::testing {
namespace {

std::vector<char*> argvOf(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

}  // namespace

ToolRun runSeam(const Seam& seam, const std::vector<std::string>& args) {
    std::ostringstream out, err;
    Console console{out, err};
    std::vector<char*> argv = argvOf(args);
    ToolRun run;
    run.exitCode = seam(int(args.size()), argv.data(), console);
    run.out = out.str();
    run.err = err.str();
    return run;
}

ToolRun runInProcess(const std::vector<std::string>& args) { return runSeam(tool::runTool, args); }

ToolRun runBinary(const std::vector<std::string>& args, const ProcessOptions& options) {
    TempFile outFile("stdout"), errFile("stderr");
    std::string outPath = options.stdoutPath.empty() ? outFile.path().string() : options.stdoutPath;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    int pipeEnds[2] = {-1, -1};
    if (options.stdoutPipeWithoutReader) {
        if (::pipe(pipeEnds) != 0) throw std::runtime_error("pipe failed");
        ::close(pipeEnds[0]);
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    posix_spawn_file_actions_addopen(&actions, 2, errFile.path().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!options.workingDirectory.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory.c_str());
    }
    std::vector<std::string> all = args;
    if (!options.wrapper.empty()) {
        all = options.wrapper;
        all.push_back(options.program);
        all.insert(all.end(), args.begin() + 1, args.end());
    }
    std::vector<char*> argv = argvOf(all);
    // SIGPIPE as a shell leaves it, whatever the test runner did with it.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    pid_t pid;
    int rc = options.wrapper.empty() ? posix_spawn(&pid, options.program.c_str(), &actions, &attr, argv.data(), environ)
                                     : posix_spawnp(&pid, all[0].c_str(), &actions, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (pipeEnds[1] >= 0) ::close(pipeEnds[1]);
    if (rc != 0) throw std::runtime_error("cannot start " + options.program);
    int status = 0;
    waitpid(pid, &status, 0);
    ToolRun run;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    if (options.stdoutPath.empty() && !options.stdoutPipeWithoutReader) run.out = readWholeFile(outFile.path());
    run.err = readWholeFile(errFile.path());
    return run;
}

std::string usageText(const std::string& name) {
    return "QEV Tool - QEV Reader\n"
           "Usage:\n"
           "  " +
           name +
           " list <qev_file>\n"
           "      List all Wii U titles in the archive\n"
           "\n"
           "  " +
           name +
           " extract <qev_file> <file_path>\n"
           "      Extract a specific file to stdout\n"
           "      Example: qev-tool extract game.qev 0005000010101D00_v64/meta/meta.xml\n"
           "\n"
           "  " +
           name +
           " info <qev_file>\n"
           "      Get information about the archive\n";
}

}  // namespace qev::testing
