#include "tools/answer_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Zeros(int count) {
  std::string bytes;
  for (int k = 0; k < count; ++k) bytes += "00 ";
  return bytes;
}

// The line of the table that answers each command: the first that matches, 0 for none.
TEST(AnswerTable, MatchesTheFirstLineThatFits) {
  AnswerTable table;
  const std::string lines[] = {
      "# comment",
      "",
      "A1 B2 01 0D 0A => A1 B2 01 00 00 7F 0D 0A  # a reading",
      "a1 b2 ?? 0d 0a => close",
      "A1 B2 02 * => silent",
      R"({"command":"A1 B2 03 0D","sent":false,"raw":null})",
      "-1 * => 01",
      Zeros(64) + "=> " + Zeros(64),  // the longest pattern and answer
  };
  for (std::size_t k = 0; k < std::size(lines); ++k) ASSERT_FALSE(AddTableLine(table, lines[k], k + 1)) << lines[k];
  const std::pair<std::vector<std::uint8_t>, std::size_t> cases[] = {
      {{0xA1, 0xB2, 0x01, 0x0D, 0x0A}, 3},
      {{0xA1, 0xB2, 0x01, 0x0D, 0x0A, 0x01}, 0},  // a byte past the pattern
      {{0xA1, 0xB2, 0x02, 0x0D, 0x0A}, 4},        // the earlier line wins
      {{0xA1, 0xB2, 0x02, 0x0D, 0x0B}, 5},
      {{0xA1, 0xB2, 0x02}, 5},        // "*", rest or none
      {{0xA1, 0xB2, 0x03, 0x0D}, 0},  // a record of a command never sent
      {{0xFF}, 7},
  };
  for (const auto& [bytes, line] : cases) {
    CommandBuffer command{};
    std::copy(bytes.begin(), bytes.end(), command.begin());
    command[63] = bytes[0] == 0xFF ? 1 : 0;  // "*" reaches the last byte
    const AnswerRule* rule = MatchAnswer(table, command);
    EXPECT_EQ(rule == nullptr ? 0 : rule->line, line) << "command of " << bytes.size() << " bytes";
  }
}

TEST(AnswerTable, RefusesBadLinesSayingWhy) {
  const std::pair<std::string, std::string> cases[] = {
      {"A1 B2 00 0D 0A", "no \"=>\" between a pattern and an answer"},
      {" => 01", "no pattern before \"=>\""},
      {"A1 1FF => 01", "bad pattern byte \"1FF\""},
      {"A1 * 0D => 01", "\"*\" only at the end of a pattern"},
      {Zeros(65) + "=> 01", "pattern longer than 64 bytes"},
      {"A1 => # 01", "no answer bytes"},
      {"A1 => " + Zeros(65), "answer longer than 64 bytes"},
      {R"({"command":"A1","x":1e400})", "bad record: number overflow parsing '1e400'"},
      {R"({"command":"A1","error":"104"})", "\"error\" is not a whole number or null"},
      {R"({"command":"A1","command":"A2"})", "bad record: key \"command\" given twice"},
      {R"({"raw":"A1"})", "no \"command\""},
      {R"({"command":""})", "\"command\" has no bytes"},
      {R"({"command":"1\u0000"})", std::string("bad command byte \"1\0\"", 21)},
  };
  for (const auto& [line, why] : cases) {
    AnswerTable table;
    EXPECT_EQ(AddTableLine(table, line, 1).value_or("taken"), why) << line;
  }
}

// What reading text as a table file refused, else how many rules it gave.
std::string ReadText(std::string text, AnswerTable& table) {
  table = {"t.txt", {}};
  std::FILE* file = fmemopen(text.data(), text.size(), "r");
  std::optional<std::string> fault = ReadAnswerTable(file, table);
  (void)std::fclose(file);
  return fault.value_or("rules: " + std::to_string(table.rules.size()));
}

TEST(AnswerTable, ReadsFilesAsEditorsWriteThem) {
  AnswerTable table;
  EXPECT_EQ(ReadText("\xEF\xBB\xBF# recorded\r\n01 => 02\r\n\r\n03 => close", table), "rules: 2");
  EXPECT_EQ(table.rules[0].answer, std::vector<std::uint8_t>{0x02});
  EXPECT_EQ(table.rules[1].line, 4U);
  EXPECT_EQ(ReadText("01 => 02\n\n01 => 0g\n", table), "t.txt line 3: bad answer byte \"0g\"");
  std::string longest = "01 => 02" + std::string(kMaxTableLine - 8, ' ');
  EXPECT_EQ(ReadText(longest + "\r\n", table), "rules: 1");
  EXPECT_EQ(ReadText("\n" + longest + " \n", table), "t.txt line 2: longer than 1048576 bytes");
  EXPECT_EQ(LoadAnswerTable("/", table), "cannot read /: Is a directory");
}

}  // namespace
