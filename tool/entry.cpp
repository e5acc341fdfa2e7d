#include "tool/entry.h"

#include <new>
#include <string_view>

#include "tool/extract_command.h"
#include "tool/info_command.h"
#include "tool/list_command.h"
#include "tool/messages.h"
#include "tool/usage.h"

namespace qev::tool {
namespace {

struct Command {
    std::string_view word;
    int minimumArgc;  // counting the invocation name
    std::string_view missingArguments;
    int (*run)(const char* const* argv, Console& console);
};

const Command kCommands[] = {
    {"list", 3, kMissingArchivePath, [](const char* const* argv, Console& c) { return runListCommand(argv[2], c); }},
    {"extract", 4, kMissingArchiveOrFilePath,
     [](const char* const* argv, Console& c) { return runExtractCommand(argv[2], argv[3], c); }},
    {"info", 3, kMissingArchivePath, [](const char* const* argv, Console& c) { return runInfoCommand(argv[2], c); }},
};

int dispatch(int argc, const char* const* argv, Console& console) {
    const char* name = argc > 0 && argv[0] != nullptr ? argv[0] : "qev-tool";
    if (argc < 2) {
        printUsage(name, console.out);
        return 1;
    }
    std::string_view word = argv[1];
    for (const Command& command : kCommands) {
        if (word != command.word) continue;
        if (argc >= command.minimumArgc) return command.run(argv, console);
        printError(console, command.missingArguments);
        printUsage(name, console.out);
        return 1;
    }
    printError(console, kUnknownCommand, word);
    printUsage(name, console.out);
    return 1;
}

}  // namespace

int runTool(int argc, const char* const* argv, Console& console) {
    // The one place where running out of memory is reported, whatever ran out.
    try {
        return dispatch(argc, argv, console);
    } catch (const std::bad_alloc&) {
        printError(console, kOutOfMemory);
        return 1;
    }
}

}  // namespace qev::tool
