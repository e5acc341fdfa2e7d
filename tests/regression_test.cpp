// Replays the regression corpus: every kept input through the fuzz harness, and each
// input listed in expected.tsv through the tool with its expected outcome.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/harness.h"
#include "fuzz/unpack_harness.h"
#include "tests/support/archive_builder.h"
#include "tests/support/tool_run.h"

namespace qev {
namespace {

const std::filesystem::path kCorpus = std::filesystem::path(QEV_SOURCE_DIR) / "tests/regression";

std::vector<std::filesystem::path> inputs(const char* kind) {
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(kCorpus / kind)) files.push_back(e.path());
    return files;
}

std::vector<std::string> split(const std::string& line, char sep) {
    std::vector<std::string> parts;
    std::stringstream in(line);
    for (std::string part; std::getline(in, part, sep);) parts.push_back(part);
    if (!line.empty() && line.back() == sep) parts.emplace_back();
    return parts;
}

TEST(Regression, EveryKeptInputRunsThroughTheHarness) {
    size_t count = 0;
    for (const char* kind : {"archive", "text"}) {
        for (const auto& file : inputs(kind)) {
            std::string bytes = testing::readWholeFile(file);
            auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
            if (std::string(kind) == "archive") {
                fuzz::exerciseArchive(data, bytes.size());
                fuzz::exerciseUnpack(data, bytes.size());
                fuzz::exerciseCheck(data, bytes.size());
            } else {
                fuzz::exerciseText(data, bytes.size());
            }
            ++count;
        }
    }
    EXPECT_GT(count, 0u);
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
