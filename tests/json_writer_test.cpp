#include "shell/json_writer.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_names.h"

namespace qev::tool {
namespace {

TEST(JsonWriter, EmptyContainers) {
    JsonWriter a;
    a.beginArray();
    a.endArray();
    EXPECT_EQ(a.result(), "[]");
    JsonWriter o;
    o.beginObject();
    o.endObject();
    EXPECT_EQ(o.result(), "{}");
}

TEST(JsonWriter, ArrayDropsKeysAndSeparatesMembers) {
    JsonWriter w;
    w.beginArray();
    w.stringField("k", "a");
    w.intField("n", -3);
    w.beginArray();
    w.endArray();
    w.beginObject();
    w.endObject();
    w.endArray();
    EXPECT_EQ(w.result(), R"(["a",-3,[],{}])");
}

TEST(JsonWriter, NestedContainersGetNoLeadingComma) {
    JsonWriter w;
    w.beginObject();
    w.beginArray();  // key-less member of an object: the writer does as it is told
    w.beginObject();
    w.uintField("x", 1);
    w.endObject();
    w.beginObject();
    w.endObject();
    w.endArray();
    w.stringField("after", "");
    w.endObject();
    EXPECT_EQ(w.result(), R"({[{"x":1},{}],"after":""})");
}

TEST(JsonWriter, TitleListWorkedExample) {
    JsonWriter w;
    w.beginArray();
    for (auto [folder, id, version] : {std::tuple{"0005000010101D00_v64", "0005000010101D00", 64},
                                       std::tuple{"00050000a1b2c3d4_v0", "00050000a1b2c3d4", 0}}) {
        w.beginObject();
        w.stringField("folderName", folder);
        w.stringField("titleId", id);
        w.intField("version", version);
        w.endObject();
    }
    w.endArray();
    EXPECT_EQ(w.result(), R"([{"folderName":"0005000010101D00_v64","titleId":"0005000010101D00","version":64},)"
                          R"({"folderName":"00050000a1b2c3d4_v0","titleId":"00050000a1b2c3d4","version":0}])");
}

TEST(JsonWriter, NumbersCoverTheirWholeRange) {
    JsonWriter w;
    w.beginArray();
    w.intField("", INT64_MIN);
    w.intField("", 0);
    w.intField("", INT64_MAX);
    w.uintField("", UINT64_MAX);
    w.uintField("", 0);
    w.endArray();
    EXPECT_EQ(w.result(), "[-9223372036854775808,0,9223372036854775807,18446744073709551615,0]");
}

TEST(JsonWriter, ResultCopiesAndLeavesWriterUsable) {
    JsonWriter w;
    w.beginObject();
    w.stringField("a", "b");
    EXPECT_EQ(w.result(), R"({"a":"b")");
    EXPECT_EQ(w.result(), R"({"a":"b")");
    w.endObject();
    EXPECT_EQ(w.result(), R"({"a":"b"})");
}

TEST(JsonWriter, UnmatchedEndStaysInBounds) {
    JsonWriter w;
    w.endArray();
    w.endObject();
    EXPECT_EQ(w.result(), "]}");
}

TEST(JsonWriter, KeysAreEscapedToo) {
    JsonWriter w;
    w.beginObject();
    w.uintField("a\"b", 1);
    w.endObject();
    EXPECT_EQ(w.result(), R"({"a\"b":1})");
}

struct EscapeCase {
    const char* what;
    std::string input;
    std::string expected;
};
QEV_PRINT_CASE_AS_WHAT(EscapeCase)

class Escaping : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(Escaping, WritesExpectedBytes) { EXPECT_EQ(escapeJsonString(GetParam().input), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(JsonWriter, Escaping,
                         ::testing::Values(EscapeCase{"quotes and backslash", "\"hi\"\\", R"(\"hi\"\\)"},
                                           EscapeCase{"short escapes", "\b\t\n\f\r", R"(\b\t\n\f\r)"},
                                           EscapeCase{"other control bytes", std::string("\x00\x01\x07\x0B\x0E\x1F", 6),
                                                      R"(\u0000\u0001\u0007\u000b\u000e\u001f)"},
                                           EscapeCase{"solidus and delete pass", "a/b\x7F", "a/b\x7F"},
                                           EscapeCase{"bytes from 0x80 pass", "caf\xC3\xA9 \xFF\x80",
                                                      "caf\xC3\xA9 \xFF\x80"},
                                           EscapeCase{"windows path", "D:\\Games\\game.qev", R"(D:\\Games\\game.qev)"},
                                           EscapeCase{"empty", "", ""}),
                         testing::NameFromWhat());

}  // namespace
}  // namespace qev::tool

namespace qev {
namespace {

TEST(JsonWriterFields, KeyedContainersBooleansAndDecimals) {
    JsonWriter w;
    w.beginObject();
    w.beginObject("blocks");
    w.uintField("raw", 1);
    w.endObject();
    w.boolField("opened", false);
    w.decimalField("ratio", 0.31416, 4);
    w.beginArray("findings");
    w.endArray();
    w.endObject();
    EXPECT_EQ(w.result(), R"({"blocks":{"raw":1},"opened":false,"ratio":0.3142,"findings":[]})");
}

}  // namespace
}  // namespace qev
