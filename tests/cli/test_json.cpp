#include <gtest/gtest.h>

#include "cli/json.h"
#include "json_value.h"

namespace {

std::string RoundTrip(const std::string& s) {
    jsonv::Value v;
    if (!jsonv::Parse(JsonString(s), v) || v.kind != jsonv::Value::String) return "<invalid>";
    return v.str;
}

TEST(JsonString, EscapesWhatJsonRequires) {
    EXPECT_EQ(JsonString("a\"b\\c"), R"("a\"b\\c")");
    EXPECT_EQ(JsonString("l\n\t\x01"), R"("l\n\t\u0001")");
    EXPECT_EQ(RoundTrip("Recovered Photos(03-07-09)"), "Recovered Photos(03-07-09)");
    EXPECT_EQ(RoundTrip("x\"y\\z\n"), "x\"y\\z\n");
    EXPECT_EQ(RoundTrip("Fotos äöü 日本 \xF0\x9F\x98\x80"), "Fotos äöü 日本 \xF0\x9F\x98\x80");
}

TEST(JsonString, InvalidUtf8BecomesReplacementCharacters) {
    EXPECT_EQ(RoundTrip("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(RoundTrip("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");          // overlong "/"
    EXPECT_EQ(RoundTrip("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // a surrogate
    EXPECT_EQ(RoundTrip("\xE6\x97"), "\xEF\xBF\xBD\xEF\xBF\xBD");         // cut short
}

}  // namespace
