#include "core/command_bytes.h"

#include <gtest/gtest.h>

namespace {

// Signs and blanks: the forms the end-to-end rows do not type.
TEST(ConvertCommandByte, AcceptsOnlyArgumentsItUsesWhole) {
  struct Row {
    const char* argument;
    std::optional<std::uint8_t> byte;
  };
  const Row rows[] = {
      {"-F", 0xF1},        {" d", 0x0D},        {"0X", std::nullopt}, {"x1", std::nullopt},
      {"-", std::nullopt}, {"+", std::nullopt}, {"+-", std::nullopt}, {" ", std::nullopt},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(ConvertCommandByte(row.argument), row.byte) << '"' << row.argument << '"';
  }
}

}  // namespace
