#include "tool/usage.h"

#include <string>

namespace qev::tool {

void printUsage(const char* invocationName, std::ostream& out) {
    const std::string name = invocationName;
    const std::string lines[] = {
        "QEV Tool - QEV Reader",
        "Usage:",
        "  " + name + " list <qev_file>",
        "      List all Wii U titles in the archive",
        "",
        "  " + name + " extract <qev_file> <file_path>",
        "      Extract a specific file to stdout",
        "      Example: qev-tool extract game.qev 0005000010101D00_v64/meta/meta.xml",
        "",
        "  " + name + " info <qev_file>",
        "      Get information about the archive",
    };
    for (const std::string& line : lines) {
        std::string text = line + '\n';
        out.write(text.data(), std::streamsize(text.size()));
        out.flush();
    }
}

}  // namespace qev::tool
