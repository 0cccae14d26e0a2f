#include "core/answer_layout.h"

#include <gtest/gtest.h>

#include "core/texts.h"

namespace {

// The end-to-end rows reach only a few command codes; every length is pinned here.
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

TEST(SelectVerdict, EveryEchoAndFooterByteCounts) {
  const CommandBuffer command{0xA1, 0xB2, 0x01, 0x0D, 0x0A};
  const ResponseBuffer whole{0xA1, 0xB2, 0x01, 0x00, 0x00, 0x00, 0x0D, 0x0A};
  EXPECT_TRUE(SelectVerdict(command, whole, 8).success);
  for (std::size_t at : {0UL, 1UL, 2UL, 6UL, 7UL}) {
    ResponseBuffer answer = whole;
    answer[at] ^= 0x10;
    EXPECT_EQ(SelectVerdict(command, answer, 8).message, texts::kMismatch) << "byte " << at;
  }
  // A status other than 0 wins over a broken echo and footer.
  ResponseBuffer broken{0x00, 0x00, 0x00, 0x03};
  EXPECT_EQ(SelectVerdict(command, broken, 6).message, texts::kBadInstruction);
}

// Decides when gathering stops waiting: too early cuts an answer, too late costs a pause.
TEST(AnswerIsWhole, WaitsForTheCodeAndThenItsLength) {
  ResponseBuffer code6{0xA1, 0xB2, 0x06};
  ResponseBuffer unknown{0xA1, 0xB2, 0x20};
  ResponseBuffer code0{};
  EXPECT_FALSE(AnswerIsWhole(code0, 2));
  EXPECT_TRUE(AnswerIsWhole(code0, 6));
  EXPECT_FALSE(AnswerIsWhole(code6, 22));
  EXPECT_TRUE(AnswerIsWhole(code6, 23));
  EXPECT_FALSE(AnswerIsWhole(unknown, 63));
  EXPECT_TRUE(AnswerIsWhole(unknown, 64));
}

}  // namespace
