#include "lan/lan_arguments.h"

#include <gtest/gtest.h>

namespace {

// The edges of the range and of the digits, which loopback ports from the system do not
// reliably reach.
TEST(ParsePort, DecimalDigitsFromOneTo65535) {
  struct Row {
    const char* text;
    std::optional<std::uint16_t> port;
  };
  const Row rows[] = {
      {"1", 1},
      {"65535", 65535},
      {"00080", 80},
      {"9", 9},
      {"", std::nullopt},
      {"65536", std::nullopt},
      {"80a", std::nullopt},
      {" 80", std::nullopt},
      {"+80", std::nullopt},
      {"99999999999999999999999", std::nullopt},
  };
  for (const Row& row : rows) EXPECT_EQ(ParsePort(row.text), row.port) << '"' << row.text << '"';
}

}  // namespace
