#include "unpack/name_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qev::unpack {
namespace {

TEST(WindowsNames, WhatWindowsCanHold) {
    struct Row {
        std::string name;
        bool holds;
    };
    const std::vector<Row> rows = {
        {"meta.xml", true},    {"CONSOLE", true},      {"COM10", true},
        {"com0", true},        {"LPT", true},          {"con_", true},
        {".hidden", true},     {"a b", true},          {"CON", false},
        {"con", false},        {"aux.txt", false},     {"Nul.tar.gz", false},
        {"COM1", false},       {"lpt9", false},        {"CON .txt", false},
        {"CONIN$", false},     {"conout$.log", false}, {"COM\xC2\xB9", false},
        {"name.", false},      {"name ", false},       {"a<b", false},
        {"a>b", false},        {"a:b", false},         {"a\"b", false},
        {"a|b", false},        {"a?b", false},         {"a*b", false},
        {"a\\b", false},       {"tab\there", false},   {"", false},
        {"caf\xC3\xA9", true}, {"caf\xE9", false},     {"\xED\xA0\x80", false},  // a surrogate
    };
    for (const Row& row : rows) EXPECT_EQ(windowsCanHold(row.name), row.holds) << row.name;
}

TEST(WindowsNames, SiblingsEqualButForLetterCaseKeepTheFirst) {
    NameRules windows(/*foldsCase=*/true, /*windowsNames=*/true);
    windows.enterDirectory();
    EXPECT_EQ(windows.check("Readme.TXT"), Refusal::kNone);
    EXPECT_EQ(windows.check("readme.txt"), Refusal::kCaseTwin);
    EXPECT_EQ(windows.check("README.txt"), Refusal::kCaseTwin);
    // A refused name takes no place: a later sibling of that name in other letters is
    // refused for its own sake, not as a twin.
    EXPECT_EQ(windows.check("aux"), Refusal::kUnsafe);
    EXPECT_EQ(windows.check("AUX"), Refusal::kUnsafe);
    // The next directory starts afresh.
    windows.enterDirectory();
    EXPECT_EQ(windows.check("readme.txt"), Refusal::kNone);
    // Letters beyond ASCII fold too, as exFAT and casefolded folders fold them.
    NameRules folding(/*foldsCase=*/true, /*windowsNames=*/false);
    EXPECT_EQ(folding.check("\xC3\x89t\xC3\xA9.txt"), Refusal::kNone);      // Été.txt
    EXPECT_EQ(folding.check("\xC3\xA9T\xC3\x89.TXT"), Refusal::kCaseTwin);  // éTÉ.TXT
    EXPECT_EQ(folding.check("con"), Refusal::kNone);
}

TEST(WindowsNames, TemporaryPrefixInAnyLetterCase) {
    NameRules posix(false);
    NameRules windows(/*foldsCase=*/true, /*windowsNames=*/true);
    EXPECT_EQ(posix.check(".qev-unpack-1-0"), Refusal::kUnsafe);
    EXPECT_EQ(posix.check(".QEV-UNPACK-1-0"), Refusal::kNone);
    EXPECT_EQ(windows.check(".QEV-UNPACK-1-0"), Refusal::kUnsafe);
    // Elsewhere names may be anything a POSIX file system holds, twins included.
    EXPECT_EQ(posix.check("CON"), Refusal::kNone);
    EXPECT_EQ(posix.check("a.txt"), Refusal::kNone);
    EXPECT_EQ(posix.check("A.txt"), Refusal::kNone);
}

}  // namespace
}  // namespace qev::unpack
