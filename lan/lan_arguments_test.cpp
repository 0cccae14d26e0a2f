#include "lan/lan_arguments.h"

#include <gtest/gtest.h>

namespace {

TEST(ParsePort, DecimalDigitsFromOneTo65535) {
  struct Row {
    const char* text;
    std::optional<std::uint16_t> port;
  };
  const Row rows[] = {
      {"1", 1},
      {"502", 502},
      {"65535", 65535},
      {"00080", 80},
      {"0", std::nullopt},
      {"65536", std::nullopt},
      {"70000", std::nullopt},
      {"", std::nullopt},
      {"abc", std::nullopt},
      {"80a", std::nullopt},
      {" 80", std::nullopt},
      {"+80", std::nullopt},
      {"-1", std::nullopt},
      {"99999999999999999999999", std::nullopt},
      {"0x50", std::nullopt},
  };
  for (const Row& row : rows) EXPECT_EQ(ParsePort(row.text), row.port) << '"' << row.text << '"';
}

TEST(ParseNumericAddress, NumbersOnlyNeverNames) {
  struct Row {
    const char* text;
    bool accepted;
    bool ipv6;
  };
  const Row rows[] = {
      {"192.168.0.10", true, false}, {"127.0.0.1", true, false},   {"::1", true, true},
      {"fe80::1", true, true},       {"localhost", false, false},  {"1.2.3", false, false},
      {"256.1.1.1", false, false},   {"", false, false},           {" 127.0.0.1", false, false},
      {"127.0.0.1 ", false, false},  {"0x7f.0.0.1", false, false}, {"example.com", false, false},
  };
  for (const Row& row : rows) {
    NetAddress address;
    EXPECT_EQ(ParseNumericAddress(row.text, address), row.accepted) << '"' << row.text << '"';
    if (row.accepted) {
      EXPECT_EQ(address.ipv6, row.ipv6) << row.text;
    }
  }
  NetAddress address;
  ASSERT_TRUE(ParseNumericAddress("10.1.2.3", address));
  EXPECT_EQ(address.bytes[0], 10);
  EXPECT_EQ(address.bytes[3], 3);
}

}  // namespace
