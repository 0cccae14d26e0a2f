#include "core/json_report.h"

#include <gtest/gtest.h>

namespace {

TEST(JsonString, EscapesEverythingOutsidePrintableAscii) {
  struct Row {
    std::string_view utf8;
    std::string json;
  };
  const Row rows[] = {
      {"A1 ~", "\"A1 ~\""},
      {"\"\\", "\"\\\"\\\\\""},
      {"\n\t\x1f\x7f", "\"\\n\\u0009\\u001f\\u007f\""},
      {"\xc2\xa9\xe0\xa0\x80\xe9\x9b\xbb", "\"\\u00a9\\u0800\\u96fb\""},  // the lowest two- and three-byte leads
      {"\xf0\x90\x80\x80\xf0\x9f\x98\x80", "\"\\ud800\\udc00\\ud83d\\ude00\""},
      // Not UTF-8: a stray continuation, a cut sequence, an overlong form, a surrogate.
      {"\x80", "\"\\ufffd\""},
      {"\xe9\x9b", "\"\\ufffd\\ufffd\""},
      {"\xc0\xaf", "\"\\ufffd\\ufffd\""},
      {"\xe0\x9f\xbf", "\"\\ufffd\\ufffd\\ufffd\""},             // U+07FF in three bytes
      {"\xf0\x8f\xbf\xbf", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},  // U+FFFF in four bytes
      {"\xf4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},  // past U+10FFFF
      {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},
      {std::string_view("\0", 1), "\"\\u0000\""},
  };
  for (const Row& row : rows) EXPECT_EQ(JsonString(row.utf8), row.json) << row.json;
}

}  // namespace
