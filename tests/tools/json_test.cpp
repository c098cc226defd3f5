// The one JSON string writer of the tool and the viewer.
#include <gtest/gtest.h>

#include "tools/json.h"

namespace {

TEST(Json, QuotesBackslashesAndControlCharactersAreEscaped) {
    EXPECT_EQ(tools::JsonString(""), "\"\"");
    EXPECT_EQ(tools::JsonString("plain/name-1.png"), "\"plain/name-1.png\"");
    EXPECT_EQ(tools::JsonString("say \"hi\" \\ bye"), "\"say \\\"hi\\\" \\\\ bye\"");
    // Every control character, none dropped: a name keeps its length.
    EXPECT_EQ(tools::JsonString(std::string("a\nb\tc\x01\x1f", 7)),
              "\"a\\u000ab\\u0009c\\u0001\\u001f\"");
    EXPECT_EQ(tools::JsonString(std::string("\0", 1)), "\"\\u0000\"");
    // DEL and UTF-8 need no escape.
    EXPECT_EQ(tools::JsonString("\x7f caf\xc3\xa9"), "\"\x7f caf\xc3\xa9\"");
}

}  // namespace
