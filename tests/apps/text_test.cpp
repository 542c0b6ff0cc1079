// The text forms of parameter values: escapes, CSV lines and JSON arrays.
#include <gtest/gtest.h>

#include <string>

#include "csv.h"
#include "escape.h"
#include "json.h"

using namespace zn_apps;
using namespace zndb_tool;

namespace {

TEST(Escape, TextStaysAndOtherBytesAreShownInHex) {
    EXPECT_EQ(escape_bytes("plain text, \"quoted\""), "plain text, \"quoted\"");
    EXPECT_EQ(escape_bytes("\xe2\x82\xac and \xf0\x9f\x98\x80"), "\xe2\x82\xac and \xf0\x9f\x98\x80");
    EXPECT_EQ(escape_bytes(std::string("\0\n\x7f\\", 4)), "\\x00\\x0a\\x7f\\\\");
    // Overlong form, surrogate, beyond U+10FFFF, a lead byte without its tail.
    EXPECT_EQ(escape_bytes("\xc0\xaf|\xed\xa0\x80|\xf4\x90\x80\x80|\xe2\x82"),
              "\\xc0\\xaf|\\xed\\xa0\\x80|\\xf4\\x90\\x80\\x80|\\xe2\\x82");
}

TEST(Escape, ReadsBackExactlyAndLeavesOtherBackslashes) {
    const std::string all = [] {
        std::string s;
        for (int c = 0; c < 256; ++c)
            s += static_cast<char>(c);
        return s;
    }();
    EXPECT_EQ(unescape_bytes(escape_bytes(all)), all);
    EXPECT_EQ(unescape_bytes("C:\\temp\\x4A\\x4a\\xZZ\\"), "C:\\tempJJ\\xZZ\\");
}

TEST(Csv, LinesAndFields) {
    EXPECT_EQ(csv_line({}), "");
    EXPECT_EQ(csv_line({""}), "\"\"");
    EXPECT_EQ(csv_line({"", ""}), ",");
    EXPECT_EQ(csv_line({"a,b", "say \"x\"", "line\nend"}), "\"a,b\",\"say \"\"x\"\"\",line\\x0aend");
}

TEST(Csv, Parsing) {
    const CsvResult r = parse_csv("a,,\"\"\r\n\n\"\"\nlast,\"x,\ny\"");
    ASSERT_EQ(r.error, "");
    ASSERT_EQ(r.records.size(), 4u);
    EXPECT_EQ(r.records[0], (Fields{"a", "", ""}));
    EXPECT_EQ(r.records[1], Fields{});
    EXPECT_EQ(r.records[2], Fields{""});
    EXPECT_EQ(r.records[3], (Fields{"last", "x,\ny"}));
    EXPECT_TRUE(parse_csv("").records.empty());
    EXPECT_EQ(parse_csv("a,\n").records[0], (Fields{"a", ""}));
}

TEST(Csv, ErrorsNameTheirLine) {
    const CsvResult open = parse_csv("a\n\"b\nc");
    EXPECT_EQ(open.error, "a quoted field is not closed");
    EXPECT_EQ(open.error_line, 2u);
    const CsvResult after = parse_csv("a\nb\n\"c\"d\n");
    EXPECT_EQ(after.error, "something other than a comma or a line end after a closing double quote");
    EXPECT_EQ(after.error_line, 3u);
}

TEST(Json, StringsAndHex) {
    EXPECT_EQ(json_array({}), "[]");
    EXPECT_EQ(json_array({"a\"b\\", std::string("\0\x1f\r", 3), "\xff\x00"}),
              "[\"a\\\"b\\\\\", \"\\u0000\\u001f\\r\", {\"hex\": \"ff\"}]");
}

} // namespace
