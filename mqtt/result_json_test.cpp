#include "mqtt/result_json.h"

#include <gtest/gtest.h>

namespace {

TEST(ResultJson, KeysInTheToolsOrderThenTheTransaction) {
  dimlink_result result = GatewayResult("carried-out", 0, "\xE9\x80\x81");
  result.sent = 1;
  result.answered = 1;
  const unsigned char answer[] = {0xA1, 0xB2, 0x00, 0x00, 0x0D, 0x0A, 0xFF};
  std::copy(std::begin(answer), std::end(answer), result.answer);
  std::copy(std::begin(answer), std::end(answer), result.raw);
  result.answer_length = 6;
  result.raw_length = 7;
  CommandBytes command{{0xA1, 0xB2, 0x00, 0x0D, 0x0A}, 5};
  EXPECT_EQ(ResultJson(result, command, "\"t1\""),
            R"({"command":"A1 B2 00 0D 0A","sent":true,"answer":"A1 B2 00 00 0D 0A","raw":"A1 B2 00 00 0D 0A FF",)"
            R"("verdict":"carried-out","message":"\u9001","status":0,"error":null,"transaction":"t1"})");
}

TEST(ResultJson, NullsWhereNothingWasParsedOrAnswered) {
  dimlink_result result = GatewayResult("connect-failed", 3, "");
  result.error = 111;
  result.answer_length = 3;  // not answered: the lengths say nothing
  EXPECT_EQ(ResultJson(result, CommandBytes{}, std::nullopt),
            R"({"command":null,"sent":false,"answer":null,"raw":null,"verdict":"connect-failed","message":"",)"
            R"("status":3,"error":111})");
}

TEST(GatewayResult, CutsAnOverlongMessageWithinItsField) {
  dimlink_result result = GatewayResult("bad-request", 1, std::string(600, 'x'));
  EXPECT_EQ(std::string(result.message).size(), sizeof result.message - 1);
}

}  // namespace
