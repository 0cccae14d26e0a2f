#include "core/command_bytes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(ConvertCommandByte, AcceptsOnlyArgumentsItUsesWhole) {
  struct Row {
    const char* argument;
    std::optional<std::uint8_t> byte;
  };
  const Row rows[] = {
      {"d", 0x0D},           {"0d", 0x0D},         {"0D", 0x0D},          {"D", 0x0D},
      {"ff", 0xFF},          {"FF", 0xFF},         {"7", 0x07},           {"00", 0x00},
      {"-1", 0xFF},          {"-F", 0xF1},         {"+7", 0x07},          {" d", 0x0D},
      {"1FF", std::nullopt}, {"1g", std::nullopt}, {"d ", std::nullopt},  {"0x41", std::nullopt},
      {"0x", std::nullopt},  {"0X", std::nullopt}, {"zz", std::nullopt},  {"g0", std::nullopt},
      {"x1", std::nullopt},  {"", std::nullopt},   {"-", std::nullopt},   {"+", std::nullopt},
      {" ", std::nullopt},   {"+-", std::nullopt}, {"100", std::nullopt},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(ConvertCommandByte(row.argument), row.byte) << '"' << row.argument << '"';
  }
}

struct Args {
  explicit Args(std::vector<std::string> words) : storage(std::move(words)) {
    for (const std::string& word : storage) pointers.push_back(word.c_str());
  }
  int argc() const { return static_cast<int>(pointers.size()); }
  std::vector<std::string> storage;
  std::vector<const char*> pointers;
};

TEST(ParseCommandBytes, FillsBufferInOrderAndZeroesTheRest) {
  Args args({"tool", "addr", "port", "A1", "B2", "00", "0D", "0A"});
  ParsedCommand parsed = ParseCommandBytes(args.argc(), args.pointers.data(), 3, 64);
  ASSERT_EQ(parsed.error, CommandError::None);
  EXPECT_EQ(parsed.count, 5U);
  CommandBuffer expected{0xA1, 0xB2, 0x00, 0x0D, 0x0A};
  EXPECT_EQ(parsed.bytes, expected);
}

TEST(ParseCommandBytes, ReportsTheFirstRefusedArgumentByItsIndex) {
  Args args({"tool", "A1", "zz", "00", "1FF", "0A"});
  ParsedCommand parsed = ParseCommandBytes(args.argc(), args.pointers.data(), 1, 63);
  EXPECT_EQ(parsed.error, CommandError::BadByte);
  EXPECT_EQ(parsed.bad_argument, 2);
}

TEST(ParseCommandBytes, RefusesMoreBytesThanTheTransportCarries) {
  struct Row {
    std::size_t given;
    std::size_t max;
    CommandError error;
  };
  for (Row row : {Row{64, 64, CommandError::None}, Row{65, 64, CommandError::TooMany}, Row{63, 63, CommandError::None},
                  Row{64, 63, CommandError::TooMany}}) {
    std::vector<std::string> words{"tool"};
    for (std::size_t k = 0; k < row.given; ++k) words.push_back(k == row.given - 1 ? "7E" : "01");
    Args args(words);
    ParsedCommand parsed = ParseCommandBytes(args.argc(), args.pointers.data(), 1, row.max);
    EXPECT_EQ(parsed.error, row.error) << row.given << " bytes, at most " << row.max;
    if (row.error == CommandError::None) {
      EXPECT_EQ(parsed.count, row.given);
      EXPECT_EQ(parsed.bytes[row.given - 1], 0x7E);
    }
  }
}

}  // namespace
