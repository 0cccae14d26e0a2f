#include "mqtt/json_text.h"

#include <gtest/gtest.h>

namespace {

TEST(JsonString, EscapesAllButPrintableAscii) {
  const std::pair<std::string, std::string> rows[] = {
      {"plain text", R"("plain text")"},
      {"a\"b\\c\nd", R"("a\"b\\c\nd")"},
      {"\t\x7F", R"("\u0009\u007f")"},
      {"\xE9\x80\x81", R"("\u9001")"},
      {"\xF0\x9F\x92\xA1", R"("\ud83d\udca1")"},
      {"x\xFFy", R"("x\ufffdy")"},
      {"\xC0\xAF", R"("\ufffd\ufffd")"},                      // overlong
      {"\xF4\x90\x80\x80", R"("\ufffd\ufffd\ufffd\ufffd")"},  // past U+10FFFF
      {"\xE9\x80", R"("\ufffd\ufffd")"},                      // cut short
  };
  for (const auto& [text, json] : rows) EXPECT_EQ(JsonString(text), json) << text;
}

TEST(IsUtf8, TellsWellFormedFromBroken) {
  EXPECT_TRUE(IsUtf8(""));
  EXPECT_TRUE(IsUtf8("A1 \xEF\xBF\xBD \xF0\x9F\x92\xA1"));
  for (std::string bad : {"\xFF", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE9\x80", "\x80"}) {
    EXPECT_FALSE(IsUtf8(bad)) << bad;
  }
}

}  // namespace
