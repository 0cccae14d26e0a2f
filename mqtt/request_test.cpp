#include "mqtt/request.h"

#include <gtest/gtest.h>

namespace {

struct Row {
  std::string payload;
  std::string command;
  std::optional<std::string> transaction;
  std::string problem;  // a word of it; "" for a request
};

TEST(ParseRequest, ReadsOrRefusesEachKindOfPayload) {
  const Row rows[] = {
      {"A1 B2 00 0D 0A", "A1 B2 00 0D 0A", std::nullopt, ""},
      {" \tA1 B2 00 0D 0A\r\n", "A1 B2 00 0D 0A", std::nullopt, ""},
      {"ZZ", "ZZ", std::nullopt, ""},  // the library refuses it as a command
      {R"({"command":"A1 B2 00 0D 0A"})", "A1 B2 00 0D 0A", std::nullopt, ""},
      {R"({"command":"A1","transaction":"t\u00e9-1"})", "A1", "\"t\\u00e9-1\"", ""},
      {R"({"transaction":-7,"command":"A1"})", "A1", "-7", ""},
      {R"({"command":"A1","transaction":18446744073709551615})", "A1", "18446744073709551615", ""},
      {R"({"command":5})", "", std::nullopt, "no \"command\""},
      {R"({"command":"A1","transaction":null})", "", std::nullopt, "neither a string nor a number"},
      {R"({"command":"A1\u0000"})", "", std::nullopt, "NUL"},
      {std::string("A1\0B2", 5), "", std::nullopt, "NUL"},
      {"A1 \xC0\xAF", "", std::nullopt, "not UTF-8"},
      {"A1 \xED\xA0\x80", "", std::nullopt, "not UTF-8"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.payload.substr(0, 60));
    Request request = ParseRequest(row.payload);
    EXPECT_EQ(request.transaction, row.transaction);
    if (row.problem.empty()) {
      EXPECT_EQ(request.problem, "");
      EXPECT_EQ(request.command, row.command);
    } else {
      EXPECT_NE(request.problem.find(row.problem), std::string::npos) << request.problem;
    }
  }
}

TEST(ParseRequest, TakesAPayloadOfExactly4KiB) {
  std::string payload = "A1 B2 00 0D 0A" + std::string(kMaxRequestBytes - 14, ' ');
  EXPECT_EQ(ParseRequest(payload).problem, "");
}

}  // namespace
