// Each input of the regression corpus listed in expected.tsv, through the tool with its
// expected outcome. (fuzz/ replays every kept input through its harnesses.)
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/test_files.h"
#include "tests/support/tool_run.h"

namespace qev {
namespace {

const std::filesystem::path kCorpus = std::filesystem::path(QEV_SOURCE_DIR) / "tests/regression";

std::vector<std::string> split(const std::string& line, char sep) {
    std::vector<std::string> parts;
    std::stringstream in(line);
    for (std::string part; std::getline(in, part, sep);) parts.push_back(part);
    if (!line.empty() && line.back() == sep) parts.emplace_back();
    return parts;
}

TEST(Regression, ListedInputsKeepTheirOutcome) {
    std::ifstream manifest(kCorpus / "expected.tsv");
    size_t checked = 0;
    for (std::string line; std::getline(manifest, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> cols = split(line, '\t');
        ASSERT_EQ(cols.size(), 4u) << line;
        std::string path = (kCorpus / "archive" / cols[0]).string();
        std::vector<std::string> words = split(cols[1], ' ');
        std::vector<std::string> args = {"qev-tool", words[0], path};
        args.insert(args.end(), words.begin() + 1, words.end());
        std::string err = cols[3];
        if (size_t at = err.find('@'); at != std::string::npos) err.replace(at, 1, path);
        testing::ToolRun r = testing::runInProcess(args);
        EXPECT_EQ(r.exitCode, std::stoi(cols[2])) << line;
        EXPECT_EQ(r.err, err.empty() ? "" : err + "\n") << line;
        if (r.exitCode != 0) {
            EXPECT_EQ(r.out, "") << line;
        }
        ++checked;
    }
    EXPECT_GT(checked, 0u);
}

}  // namespace
}  // namespace qev
