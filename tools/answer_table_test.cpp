#include "tools/answer_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

AnswerTable TableOf(const std::vector<std::string>& lines) {
  AnswerTable table;
  for (std::size_t k = 0; k < lines.size(); ++k) {
    std::optional<std::string> fault = AddTableLine(table, lines[k], k + 1);
    EXPECT_FALSE(fault) << lines[k] << ": " << fault.value_or("");
  }
  return table;
}

CommandBuffer Command(std::vector<std::uint8_t> bytes) {
  CommandBuffer command{};
  std::copy(bytes.begin(), bytes.end(), command.begin());
  return command;
}

// The line of the table that answers each command: first match wins, 0 for none.
TEST(AnswerTable, MatchesTheFirstLineThatFits) {
  AnswerTable table = TableOf({
      "# comment",
      "",
      "A1 B2 01 0D 0A => A1 B2 01 00 00 7F 0D 0A  # a reading",
      "a1 b2 ?? 0d 0a => close",
      "A1 B2 02 * => silent",
      R"({"command":"A1 B2 03 0D","sent":true,"raw":"A1 B2 03 05 0D 0A","verdict":"mismatch"})",
      R"({"command":"A1 B2 04 0D","sent":false,"raw":null})",
      R"({"command":null,"sent":false})",
      "-1 * => 01",
  });
  struct Case {
    std::vector<std::uint8_t> command;
    std::size_t line;
  } cases[] = {
      {{0xA1, 0xB2, 0x01, 0x0D, 0x0A}, 3},
      {{0xA1, 0xB2, 0x01, 0x0D, 0x0A, 0x01}, 0},  // a byte after the pattern's
      {{0xA1, 0xB2, 0x07, 0x0D, 0x0A}, 4},
      {{0xA1, 0xB2, 0x02, 0x0D, 0x0A}, 4},   // the earlier line wins
      {{0xA1, 0xB2, 0x02, 0x0D, 0x0B}, 5},   // "*" takes the rest
      {{0xA1, 0xB2, 0x02}, 5},               // and an empty rest
      {{0xA1, 0xB2, 0x03, 0x0D}, 6},         // a record
      {{0xA1, 0xB2, 0x04, 0x0D}, 0},         // one that was never sent
      {{0xA1, 0xB2, 0x03}, 0},
      {{0xFF}, 9},
  };
  for (const Case& c : cases) {
    const AnswerRule* rule = MatchAnswer(table, Command(c.command));
    EXPECT_EQ(rule == nullptr ? 0 : rule->line, c.line) << "command of " << c.command.size() << " bytes";
  }
  CommandBuffer last{};
  last[63] = 0x01;
  const AnswerRule* star = MatchAnswer(TableOf({"?? * => 01"}), last);
  ASSERT_NE(star, nullptr);  // "*" reaches the 64th byte
  EXPECT_EQ(MatchAnswer(TableOf({"00 => 01"}), last), nullptr);
}

TEST(AnswerTable, TakesEachKindOfAnswer) {
  AnswerTable table = TableOf({
      "01 => A1 b2 -1 0d 0a",
      "02 => silent",
      "03 => close",
      R"({"command":"04","raw":"A1 B2"})",
      R"({"command":"05","raw":null,"verdict":"receive-failed"})",
      R"({"command":"06","raw":null,"verdict":"closed"})",
      R"({"command":"07","raw":"","verdict":"mismatch"})",
      R"({"verdict":"x\u00e9\ud83d\ude00\"\\\/\b\f\n\r\t","command":"\u0030\u0038","error":-1.5e+3,"sent":true})",
  });
  struct Case {
    TableAnswer kind;
    std::vector<std::uint8_t> answer;
  } cases[] = {
      {TableAnswer::Bytes, {0xA1, 0xB2, 0xFF, 0x0D, 0x0A}},
      {TableAnswer::Silent, {}},
      {TableAnswer::Close, {}},
      {TableAnswer::Bytes, {0xA1, 0xB2}},
      {TableAnswer::Silent, {}},
      {TableAnswer::Close, {}},
      {TableAnswer::Bytes, {0x00}},  // an all-zero report
      {TableAnswer::Silent, {}},
  };
  ASSERT_EQ(table.rules.size(), std::size(cases));
  for (std::size_t k = 0; k < table.rules.size(); ++k) {
    EXPECT_EQ(table.rules[k].pattern[0], k + 1) << k;
    EXPECT_EQ(table.rules[k].kind, cases[k].kind) << k;
    EXPECT_EQ(table.rules[k].answer, cases[k].answer) << k;
  }
}

TEST(AnswerTable, RefusesBadLinesSayingWhy) {
  std::string long_pattern;
  for (int k = 0; k < 65; ++k) long_pattern += "00 ";
  struct Case {
    std::string line;
    std::string why;
  } cases[] = {
      {"A1 B2 00 0D 0A", "no \"=>\" between a pattern and an answer"},
      {" => 01", "no pattern before \"=>\""},
      {"A1 zz => 01", "bad pattern byte \"zz\""},
      {"A1 1FF => 01", "bad pattern byte \"1FF\""},
      {"A1 * 0D => 01", "\"*\" only at the end of a pattern"},
      {long_pattern + "=> 01", "pattern longer than 64 bytes"},
      {"A1 =>", "no answer bytes"},
      {"A1 => # 01", "no answer bytes"},
      {"A1 => 0x41", "bad answer byte \"0x41\""},
      {"A1 => silent 01", "bad answer byte \"silent\""},
      {"A1 => " + long_pattern, "answer longer than 64 bytes"},
      {R"({"command":"A1","raw":"A1"} x)", "bad record: text after the object"},
      {R"({"command":"A1","raw":"A1")", "bad record: ',' or '}' expected"},
      {R"({"command":"A1","raw":["A1"]})", "bad record: nested objects and arrays are not taken"},
      {R"({"command":"A1","command":"A2"})", "bad record: key \"command\" given twice"},
      {R"({"command":"A1","raw":"\ud800"})", "bad record: lone surrogate in a string"},
      {R"({"command":"A1","raw":"\x"})", "bad record: bad escape in a string"},
      {"{\"command\":\"A1\t\"}", "bad record: control character in a string"},
      {R"({"command":"A1","status":01})", "bad record: ',' or '}' expected"},
      {R"({"command":"A1","status":1.})", "bad record: bad number"},
      {R"({"command":"A1","sent":yes})", "bad record: bad value"},
      {R"({"command":1})", "\"command\" is not a string or null"},
      {R"({"command":"A1","sent":"true"})", "\"sent\" is not true or false"},
      {R"({"command":"A1","raw":0})", "\"raw\" is not a string or null"},
      {R"({"raw":"A1"})", "no \"command\""},
      {R"({"command":""})", "\"command\" has no bytes"},
      {R"({"command":"A1 ??"})", "bad command byte \"??\""},
      {R"({"command":"1\u0000"})", std::string("bad command byte \"1\0\"", 21)},
      {R"({"command":"A1","raw":"A1 zz"})", "bad answer byte \"zz\""},
  };
  for (const Case& c : cases) {
    AnswerTable table;
    EXPECT_EQ(AddTableLine(table, c.line, 1).value_or("taken"), c.why) << c.line;
  }
}

std::optional<std::string> ReadText(std::string text, AnswerTable& table) {
  table.path = "t.txt";
  std::FILE* file = fmemopen(text.data(), text.size(), "r");
  std::optional<std::string> fault = ReadAnswerTable(file, table);
  (void)std::fclose(file);
  return fault;
}

TEST(AnswerTable, ReadsFilesLineByLine) {
  AnswerTable table;
  EXPECT_FALSE(ReadText("\xEF\xBB\xBF# recorded\r\n01 => 02\r\n\r\n03 => close", table));
  ASSERT_EQ(table.rules.size(), 2U);
  EXPECT_EQ(table.rules[0].answer, std::vector<std::uint8_t>{0x02});
  EXPECT_EQ(table.rules[1].line, 4U);

  AnswerTable bad;
  EXPECT_EQ(ReadText("01 => 02\n\n01 => 0g\n", bad), "t.txt line 3: bad answer byte \"0g\"");
  std::string longest = "01 => 02" + std::string(kMaxTableLine - 8, ' ');
  EXPECT_FALSE(ReadText(longest, bad = {}));
  EXPECT_EQ(ReadText("\n" + longest + " \n", bad = {}), "t.txt line 2: longer than 4096 bytes");

  EXPECT_EQ(LoadAnswerTable("/nonexistent/t.txt", bad).value_or(""),
            "cannot read /nonexistent/t.txt: No such file or directory");
  EXPECT_EQ(LoadAnswerTable("/", bad).value_or(""), "cannot read /: Is a directory");
}

}  // namespace
