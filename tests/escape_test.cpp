// Names and paths in messages and listings: printable, valid UTF-8, unambiguous.
#include "archive/format/escape.h"

#include <gtest/gtest.h>

namespace qev {
namespace {

TEST(Escape, NamesForMessages) {
    EXPECT_EQ(escapeName(""), "\"\"");
    EXPECT_EQ(escapeName("meta.xml"), "meta.xml");
    EXPECT_EQ(escapeName("caf\xC3\xA9"), "caf\xC3\xA9");
    EXPECT_EQ(escapeName("a/b\\c\"d"), "a\\x2Fb\\x5Cc\\x22d");
    EXPECT_EQ(escapeName(std::string("a\0\n\x7F", 4)), "a\\x00\\x0A\\x7F");
    EXPECT_EQ(escapeName("bad\xFF\xC3"), "bad\\xFF\\xC3");
}

TEST(Escape, PathsForListings) {
    EXPECT_EQ(escapePath("t/meta/meta.xml"), "t/meta/meta.xml");
    EXPECT_EQ(escapePath("a\\b"), "a\\\\b");
    EXPECT_EQ(displayPath("C:\\games.qev"), "C:\\games.qev");
    EXPECT_EQ(displayPath("x\ny\xC0"), "x\\x0Ay\\xC0");
    EXPECT_EQ(escapePath("x\ny"), "x\\x0Ay");
    // Overlong forms, surrogates and bytes past U+10FFFF are not valid UTF-8.
    EXPECT_EQ(escapePath("\xC0\xAF"), "\\xC0\\xAF");
    EXPECT_EQ(escapePath("\xED\xA0\x80"), "\\xED\\xA0\\x80");
    EXPECT_EQ(escapePath("\xF4\x90\x80\x80"), "\\xF4\\x90\\x80\\x80");
    EXPECT_EQ(escapePath("\xF0\x9F\x98\x80 ok"), "\xF0\x9F\x98\x80 ok");
    EXPECT_EQ(escapePath("\xE2\x82"), "\\xE2\\x82");  // cut short at the end
}

}  // namespace
}  // namespace qev
