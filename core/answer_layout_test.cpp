#include "core/answer_layout.h"

#include <gtest/gtest.h>

#include <string>

#include "core/report.h"
#include "core/texts.h"

namespace {

TEST(ResponseLength, CoversEveryCommandCode) {
  for (int code = 0; code <= 255; ++code) {
    std::size_t expected = 0;
    if (code == 0) expected = 6;
    if (code == 1 || code == 3 || code == 5) expected = 8;
    if (code == 2 || code == 7 || (code >= 9 && code <= 14)) expected = 7;
    if (code == 4) expected = 9;
    if (code == 6) expected = 23;
    if (code == 8) expected = 10;
    EXPECT_EQ(ResponseLength(static_cast<std::uint8_t>(code)), expected) << "code " << code;
  }
}

const CommandBuffer kCommand{0xA1, 0xB2, 0x00, 0x0D, 0x0A};

TEST(SelectVerdict, StatusPicksTheMessage) {
  struct Row {
    std::uint8_t status;
    std::wstring_view message;
  };
  const Row rows[] = {
      {1, texts::kNoHeader},          {2, texts::kNoFooter},          {3, texts::kBadInstruction},
      {4, texts::kChannelOutOfRange}, {5, texts::kAddressOutOfRange}, {6, texts::kBadFormat},
      {7, texts::kKnobInUse},         {8, texts::kUnexpected},        {0x7F, texts::kUnexpected},
      {0x80, texts::kUnexpected},     {0xFF, texts::kUnexpected},
  };
  for (const Row& row : rows) {
    // Echo and footer are broken on purpose: only status 0 looks at them.
    ResponseBuffer answer{0x00, 0x00, 0x00, row.status, 0x00, 0x00};
    Verdict verdict = SelectVerdict(kCommand, answer, 6);
    EXPECT_EQ(verdict.message, row.message) << "status " << int{row.status};
    EXPECT_FALSE(verdict.success);
  }
}

TEST(SelectVerdict, StatusZeroNeedsEchoAndFooter) {
  struct Row {
    const char* name;
    ResponseBuffer answer;
    std::uint8_t code;
    bool success;
  };
  const Row rows[] = {
      {"whole", {0xA1, 0xB2, 0x00, 0x00, 0x0D, 0x0A}, 0x00, true},
      {"byte 0 differs", {0xA0, 0xB2, 0x00, 0x00, 0x0D, 0x0A}, 0x00, false},
      {"byte 1 differs", {0xA1, 0xB3, 0x00, 0x00, 0x0D, 0x0A}, 0x00, false},
      {"footer 0D 00", {0xA1, 0xB2, 0x00, 0x00, 0x0D, 0x00}, 0x00, false},
      {"footer swapped", {0xA1, 0xB2, 0x00, 0x00, 0x0A, 0x0D}, 0x00, false},
  };
  for (const Row& row : rows) {
    Verdict verdict = SelectVerdict(kCommand, row.answer, ResponseLength(row.answer[2]));
    EXPECT_EQ(verdict.success, row.success) << row.name;
    EXPECT_EQ(verdict.message, row.success ? texts::kSuccess : texts::kMismatch) << row.name;
  }
}

TEST(SelectVerdict, CommandCodeEchoAndUnknownLength) {
  CommandBuffer command{0xA1, 0xB2, 0x20, 0x0D, 0x0A};
  ResponseBuffer answer{0xA1, 0xB2, 0x20, 0x00, 0x0D, 0x0A};
  EXPECT_EQ(SelectVerdict(command, answer, ResponseLength(0x20)).message, texts::kMismatch);
  answer[2] = 0x01;  // echo of byte 2 differs; its length 8 puts the footer elsewhere too
  EXPECT_FALSE(SelectVerdict(command, answer, ResponseLength(0x01)).success);
}

TEST(BuildAnswer, IsWhatAHealthyUnitSaysForEveryCode) {
  for (int code = 0; code <= 255; ++code) {
    CommandBuffer command{0x5A, 0xA5, static_cast<std::uint8_t>(code)};
    Answer built = BuildAnswer(command, 0);
    ResponseBuffer answer{};
    std::copy_n(built.bytes.begin(), built.length, answer.begin());
    std::size_t length = ResponseLength(answer[2]);
    EXPECT_EQ(SelectVerdict(command, answer, length).success, length != 0) << "code " << code;
    EXPECT_EQ(built.length, length != 0 ? length : 6U);
    EXPECT_TRUE(AnswerIsWhole(answer, built.length) || length == 0) << "code " << code;
  }
}

TEST(AnswerIsWhole, WaitsForTheCodeAndThenItsLength) {
  ResponseBuffer code6{0xA1, 0xB2, 0x06};
  ResponseBuffer unknown{0xA1, 0xB2, 0x20};
  EXPECT_FALSE(AnswerIsWhole(code6, 0));
  EXPECT_FALSE(AnswerIsWhole(code6, 2));
  EXPECT_FALSE(AnswerIsWhole(code6, 22));
  EXPECT_TRUE(AnswerIsWhole(code6, 23));
  EXPECT_FALSE(AnswerIsWhole(unknown, 63));
  EXPECT_TRUE(AnswerIsWhole(unknown, 64));
}

TEST(FormatByteItems, TwoUpperCaseDigitsBlankAndNul) {
  const std::uint8_t bytes[] = {0x0D, 0x05, 0xAB, 0x00};
  EXPECT_EQ(FormatByteItems(bytes, 4), std::string("0D \0"
                                                   "05 \0"
                                                   "AB \0"
                                                   "00 \0",
                                                   16));
  EXPECT_EQ(FormatByteItems(bytes, 0), "");
  EXPECT_EQ(FormatHexWords(bytes, 4), "0D 05 AB 00");
  EXPECT_EQ(FormatHexWords(bytes, 0), "");
}

}  // namespace
