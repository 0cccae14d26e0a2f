#include "core/json_report.h"

#include <gtest/gtest.h>

#include "core/texts.h"

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
      {"\xc3\xa9\xe9\x9b\xbb", "\"\\u00e9\\u96fb\""},
      {"\xf0\x9f\x98\x80", "\"\\ud83d\\ude00\""},
      // Not UTF-8: a stray continuation, a cut sequence, an overlong form, a surrogate.
      {"\x80", "\"\\ufffd\""},
      {"\xe9\x9b", "\"\\ufffd\\ufffd\""},
      {"\xc0\xaf", "\"\\ufffd\\ufffd\""},
      {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},
      {std::string_view("\0", 1), "\"\\u0000\""},
  };
  for (const Row& row : rows) EXPECT_EQ(JsonString(row.utf8), row.json) << row.json;
}

TEST(JsonLine, KeysInOrderNullsWhereNothingCame) {
  ExchangeResult refused = RefusedCommand({texts::kInvalidByte, {"zz", "3"}});
  EXPECT_EQ(JsonLine(refused, 7),
            "{\"command\":null,\"sent\":false,\"answer\":null,\"raw\":null,\"verdict\":\"bad-command\","
            "\"message\":\"Invalid command byte \\\"zz\\\" (argument 3). "
            "\\u9001\\u4fe1\\u30b3\\u30de\\u30f3\\u30c9\\u306e\\u30d0\\u30a4\\u30c8\\u304c\\u6b63\\u3057\\u304f\\u3042"
            "\\u308a\\u307e\\u305b\\u3093\\u3002\",\"status\":1,\"error\":null,\"line\":7}\n");

  ExchangeResult answered = Failure(texts::keys::kReceiveFailed, {texts::kReceiveFailed, {"104"}}, 3, 104);
  answered.command = ParsedCommand{{0xA1, 0x0B}, 2};
  answered.sent = answered.answered = true;
  answered.answer_length = 3;
  answered.raw_length = 1;
  answered.raw[0] = 0xFF;
  std::string line = JsonLine(answered, std::nullopt);
  EXPECT_TRUE(line.starts_with("{\"command\":\"A1 0B\",\"sent\":true,\"answer\":\"00 00 00\",\"raw\":\"FF\","));
  EXPECT_TRUE(line.ends_with("\"status\":3,\"error\":104}\n")) << line;
  EXPECT_EQ(JsonLine(answered, 0).substr(line.size() - 2), ",\"line\":null}\n");
}

}  // namespace
